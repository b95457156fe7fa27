#include "cli/clihelp.h"

namespace {

const char* const kServeUsage = "Usage: ferrowarden serve DIR [--label TEXT] [--once] [--mkdir]\n"
                                "                         [--existing overwrite|rename|skip] [--no-resume]\n"
                                "                         [--accept open|paired|trusted]\n";
const char* const kListUsage = "Usage: ferrowarden list [--host HOST[:PORT]] [--wait SECONDS]\n";
const char* const kSendUsage = "Usage: ferrowarden send [--session LABEL] [--host HOST[:PORT]] [--wait SECONDS]\n"
                               "                        [--block-size N] [--encrypt | --no-encrypt] [--code CODE]\n"
                               "                        [--retry SECONDS] FILE|DIR...\n";
const char* const kDevicesUsage = "Usage: ferrowarden devices [forget NAME]\n";

// Where every command keeps its record, and what the exit codes mean.
const char* const kFilesAndExitCodes =
    "\n"
    "Files:\n"
    "  The log is fwd.txt in the current directory, unless the settings name another\n"
    "  file (LogFile, set in the desktop program's preferences). The settings live in\n"
    "  ~/.config/ferrowarden/registry.json ($XDG_CONFIG_HOME/ferrowarden/ when set).\n"
    "\n"
    "Exit codes: 0 done, 1 failed, 2 a mistake on the command line.\n";

const char* const kSearchNotes = "  --host HOST[:PORT]   ask only this host (a name or an IPv4 address), for\n"
                                 "                       example when broadcasts do not reach it; PORT is its\n"
                                 "                       discovery port\n"
                                 "  --wait SECONDS       keep searching this long for a free session instead of\n"
                                 "                       giving up after a second; a busy one is waited for, too\n";

const char* const kDiscovery = "\n"
                               "Sessions are found by UDP broadcast to port 31847 on every network interface\n"
                               "(FERROWARDEN_DISCOVERY_PORT moves it); files then travel over a TCP connection\n"
                               "to the port the server names when it starts.\n"
                               "\n"
                               "Both ends speak an extended protocol when both have it: folders, files of any\n"
                               "size, a receipt from the server for every file, and every copy encrypted and\n"
                               "authenticated (man ferrowarden, SECURE COPIES). FERROWARDEN_EXTENSION=off\n"
                               "turns it off, at either end, for the protocol of earlier versions.\n";

} // namespace

QString CliUsage()
{
    return QStringLiteral("Usage:\n"
                          "  ferrowarden                       start the desktop program\n"
                          "  ferrowarden serve DIR [--label TEXT] [--once] [--mkdir]\n"
                          "                    [--existing overwrite|rename|skip] [--no-resume]\n"
                          "                    [--accept open|paired|trusted]\n"
                          "                                    host a session and receive files into DIR\n"
                          "  ferrowarden list [--host HOST[:PORT]] [--wait SECONDS]\n"
                          "                                    list the sessions hosted on the network\n"
                          "  ferrowarden send [--session LABEL] [--host HOST[:PORT]] [--wait SECONDS]\n"
                          "                   [--block-size N] [--encrypt | --no-encrypt] [--code CODE]\n"
                          "                   [--retry SECONDS] FILE|DIR...\n"
                          "                                    send files and folders to a hosted session\n"
                          "  ferrowarden devices [forget NAME] this device's fingerprint and the trusted\n"
                          "                                    devices; forget one\n"
                          "  ferrowarden help [COMMAND]        a command's options (or COMMAND --help)\n"
                          "  ferrowarden --help | --version\n"
                          "\n"
                          "man ferrowarden tells more: limits, encryption, firewalls.\n");
}

QString CommandUsage(const QString& command)
{
    if (command == QLatin1String("serve"))
        return QString::fromLatin1(kServeUsage);
    if (command == QLatin1String("list"))
        return QString::fromLatin1(kListUsage);
    if (command == QLatin1String("send"))
        return QString::fromLatin1(kSendUsage);
    if (command == QLatin1String("devices"))
        return QString::fromLatin1(kDevicesUsage);
    return CliUsage();
}

QString CommandHelp(const QString& command)
{
    if (command == QLatin1String("serve"))
        return QString::fromLatin1(kServeUsage)
               + QStringLiteral("\n"
                                "Hosts a session on the local network and writes every file a client sends into\n"
                                "DIR (folders too, from a client that sends them), putting each in place once\n"
                                "it has arrived whole. One client at a time: while one sends, the session is\n"
                                "busy for the others. Runs until Ctrl-C, SIGTERM or SIGHUP.\n"
                                "\n"
                                "Options:\n"
                                "  --label TEXT   the label searchers see (default \"Ferrowarden 2.0 Session on\n"
                                "                 HOSTNAME\"); no \"#\" and no control characters\n"
                                "  --once         exit when the first client has left: 0 when every file it\n"
                                "                 announced arrived whole, 1 otherwise\n"
                                "  --mkdir        create DIR, with its parents, when it does not exist\n"
                                "  --existing overwrite|rename|skip\n"
                                "                 what happens when a file of the same name is there:\n"
                                "                 replace it (the default), store the new one as \"a (1).txt\",\n"
                                "                 \"a (2).txt\"..., or keep the old one and drop the new\n"
                                "  --no-resume    throw away what arrived of a file that was cut off, instead of\n"
                                "                 keeping it (in DIR/.ferrowarden-partial, for up to 7 days) so\n"
                                "                 that the next copy of it goes on where it stopped\n"
                                "  --accept open|paired|trusted\n"
                                "                 who may send: anyone (the default; copies are still\n"
                                "                 encrypted), a trusted device or a sender with the code\n"
                                "                 printed as \"Pairing code: 4829-1375\" (a new one after\n"
                                "                 three wrong attempts), or trusted devices only\n"
                                "  -h, --help     this help\n")
               + QString::fromLatin1(kDiscovery) + QString::fromLatin1(kFilesAndExitCodes);
    if (command == QLatin1String("devices"))
        return QString::fromLatin1(kDevicesUsage)
               + QStringLiteral("\n"
                                "Prints this device's name and fingerprint (read it out to the other end to\n"
                                "check a pairing), then every trusted device with its fingerprint and when it\n"
                                "last copied. \"forget NAME\" removes one: it needs the pairing code again.\n"
                                "The identity key and the list live in ~/.config/ferrowarden/\n"
                                "(identity.key, trusted-devices.json).\n")
               + QString::fromLatin1(kFilesAndExitCodes);
    if (command == QLatin1String("list"))
        return QString::fromLatin1(kListUsage)
               + QStringLiteral("\n"
                                "Searches the local network for hosted sessions and prints one line each: the\n"
                                "label, a tab, the server's target directory, and \"\\tbusy\" while another\n"
                                "client is sending. When nothing is found it tells, on stderr, whom it asked and\n"
                                "what came back. Keeps no log.\n"
                                "\n"
                                "Options:\n")
               + QString::fromLatin1(kSearchNotes) + QStringLiteral("  -h, --help           this help\n")
               + QString::fromLatin1(kDiscovery)
               + QStringLiteral("\nExit codes: 0 a free session was listed, 1 none, 2 a mistake on\n"
                                "the command line.\n");
    if (command == QLatin1String("send"))
        return QString::fromLatin1(kSendUsage)
               + QStringLiteral("\n"
                                "Finds a hosted session, joins it and sends the FILEs, in order, under their bare\n"
                                "names, and each DIR with everything below it, empty folders included, under\n"
                                "paths that start with the folder's name. Links inside a DIR are skipped, never\n"
                                "followed. Every file is checked first (readable, a regular file), so a bad one\n"
                                "stops the copy before anything is sent.\n"
                                "\n"
                                "A server that speaks the extended protocol answers for every file: send prints\n"
                                "each answer, waits for the last, and exits 0 only when every file was stored,\n"
                                "1 when some were refused or discarded (it lists them and why). A server that\n"
                                "does not takes files under 2 GiB only, no folders, and never answers (send says\n"
                                "so before it sends): exit code 0 then means every file was handed to it and the\n"
                                "connection closed in order.\n"
                                "\n"
                                "A file that was cut off before (a lost link, a stopped program) goes on where it\n"
                                "stopped: only what the server lacks is sent, one line tells how much was there\n"
                                "already, and the whole file is checked against this one before it is stored.\n"
                                "After a copy to the same server that was cut off, send asks the server about\n"
                                "every file first and sends nothing of one it has with the same size, time and\n"
                                "permissions (\"a.txt\": already there, unchanged).\n"
                                "\n"
                                "Options:\n"
                                "  --session LABEL      the session to join; needed when several are found\n")
               + QString::fromLatin1(kSearchNotes)
               + QStringLiteral("  --block-size N       bytes per block, 1 to 2048 (default: the settings, 2048)\n"
                                "  --encrypt            scramble the blocks; the key travels with the copy, so\n"
                                "                       anyone who can see the traffic can read it: no secrecy\n"
                                "  --no-encrypt         send the blocks as they are (default: the settings)\n"
                                "                       (both only for a server without secure copies)\n"
                                "  --code CODE          the pairing code the server shows; a server that cannot\n"
                                "                       prove it gets nothing\n"
                                "  --retry SECONDS      after a lost link, find the session again for this long\n"
                                "                       and go on where the copy stopped (default 30 with the\n"
                                "                       extended protocol; 0: give up at once)\n"
                                "  -h, --help           this help\n")
               + QString::fromLatin1(kDiscovery) + QString::fromLatin1(kFilesAndExitCodes);
    return CliUsage();
}
