#include "cli/cliarguments.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <limits>

namespace {

const QCommandLineOption kHelp(QStringList{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("This help"));
const QCommandLineOption kLabel(QStringList{QStringLiteral("label")}, QStringLiteral("Session label"),
                                QStringLiteral("TEXT"));
const QCommandLineOption kOnce(QStringList{QStringLiteral("once")},
                               QStringLiteral("Exit when the first client has left"));
const QCommandLineOption kMkdir(QStringList{QStringLiteral("mkdir")},
                                QStringLiteral("Create the directory when it is missing"));
const QCommandLineOption kExisting(QStringList{QStringLiteral("existing")},
                                   QStringLiteral("What to do with a file whose name is taken"),
                                   QStringLiteral("overwrite|rename|skip"));
const QCommandLineOption kNoResume(QStringList{QStringLiteral("no-resume")},
                                   QStringLiteral("Do not keep files that are cut off"));
const QCommandLineOption kRetry(QStringList{QStringLiteral("retry")},
                                QStringLiteral("Find the session again after a lost link"), QStringLiteral("SECONDS"));
const QCommandLineOption kHost(QStringList{QStringLiteral("host")}, QStringLiteral("Search only this host"),
                               QStringLiteral("HOST[:PORT]"));
const QCommandLineOption kWait(QStringList{QStringLiteral("wait")},
                               QStringLiteral("Search this long for a free session"), QStringLiteral("SECONDS"));
const QCommandLineOption kSession(QStringList{QStringLiteral("session")},
                                  QStringLiteral("Label of the session to join"), QStringLiteral("LABEL"));
const QCommandLineOption kBlockSize(QStringList{QStringLiteral("block-size")},
                                    QStringLiteral("Bytes per block, 1 to 2048"), QStringLiteral("N"));
const QCommandLineOption kAccept(QStringList{QStringLiteral("accept")},
                                 QStringLiteral("Who may send: open, paired or trusted"),
                                 QStringLiteral("open|paired|trusted"));
const QCommandLineOption kCode(QStringList{QStringLiteral("code")}, QStringLiteral("The pairing code the server shows"),
                               QStringLiteral("CODE"));
const QCommandLineOption kEncrypt(QStringList{QStringLiteral("encrypt")}, QStringLiteral("Encrypt this copy"));
const QCommandLineOption kNoEncrypt(QStringList{QStringLiteral("no-encrypt")},
                                    QStringLiteral("Do not encrypt this copy"));

// The window system's own options (QGuiApplication, X11), passed on to the desktop program;
// those of the first list take a value, as the next argument or after "=".
const char* const kWindowOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "style",  "stylesheet",
    "display",     "geometry",           "name",          "title"};
const char* const kWindowFlags[] = {"reverse", "widgetcount", "sync", "nograb", "dograb"};

// How many arguments a window-system option at `index` takes up, or 0 when it is none.
int windowOptionLength(const QStringList& arguments, qsizetype index)
{
    QString option = arguments[index];
    option.remove(0, option.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = option.indexOf(QLatin1Char('='));
    const QString name = equals < 0 ? option : option.left(equals);
    for (const char* flag : kWindowFlags)
        if (name == QLatin1String(flag))
            return equals < 0 ? 1 : 0;
    for (const char* withValue : kWindowOptionsWithValue) {
        if (name != QLatin1String(withValue))
            continue;
        if (equals >= 0)
            return 1;
        return index + 1 < arguments.size() ? 2 : 0;
    }
    return 0;
}

// QCommandLineParser wants the program name first.
bool parseWith(QCommandLineParser& parser, const QStringList& arguments, QString& error)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(kHelp);
    if (!parser.parse(QStringList{QStringLiteral("ferrowarden")} + arguments)) {
        // In the voice of the other messages: "unknown option 'x'", "missing value after '--host'".
        error = parser.errorText();
        if (!error.isEmpty())
            error[0] = error[0].toLower();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        return false;
    }
    return true;
}

// --host and --wait, shared by list and send.
std::optional<UsageError> takeSearchOptions(const QCommandLineParser& parser, const QString& command,
                                            CliArguments& result)
{
    if (parser.isSet(kHost)) {
        const auto host = ParseHostArgument(parser.value(kHost));
        if (const auto* error = std::get_if<UsageError>(&host))
            return UsageError{error->message, command};
        result.host = std::get<HostArgument>(host).name;
        result.hostPort = std::get<HostArgument>(host).port;
    }
    if (parser.isSet(kWait)) {
        // Milliseconds of the wait must fit an int.
        constexpr uint kMaxWait = std::numeric_limits<int>::max() / 1000;
        bool ok = false;
        const uint seconds = parser.value(kWait).toUInt(&ok, 10);
        if (!ok || seconds > kMaxWait)
            return UsageError{QStringLiteral("--wait takes a whole number of seconds, such as 30"), command};
        result.waitSeconds = int(seconds);
    }
    return std::nullopt;
}

} // namespace

std::variant<HostArgument, UsageError> ParseHostArgument(const QString& text)
{
    const QString hint = QStringLiteral("--host \"%1\": give HOST or HOST:PORT, with a port from 1 to 65535").arg(text);
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2 || parts.first().trimmed().isEmpty() || parts.first() != parts.first().trimmed())
        return UsageError{hint, {}};
    HostArgument host{parts.first(), std::nullopt};
    if (parts.size() == 2) {
        bool ok = false;
        const uint port = parts[1].toUInt(&ok, 10);
        if (!ok || port < 1 || port > 65535)
            return UsageError{hint, {}};
        host.port = quint16(port);
    }
    return host;
}

std::variant<CliArguments, UsageError> ParseCliArguments(const QStringList& arguments)
{
    CliArguments result;
    // A path that names a file or a folder opens the window with it chosen; a command word
    // stays a command even where a file of that name exists.
    const QStringList commands{QStringLiteral("help"), QStringLiteral("serve"), QStringLiteral("list"),
                               QStringLiteral("send")};
    const auto isPath = [](const QString& argument) { return QFileInfo::exists(argument); };
    if (arguments.isEmpty() || arguments.first().startsWith(QLatin1Char('-'))
        || (!commands.contains(arguments.first()) && isPath(arguments.first()))) {
        if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
            result.command = CliArguments::Command::Help;
            return result;
        }
        if (arguments.contains(QStringLiteral("--version"))) {
            result.command = CliArguments::Command::Version;
            return result;
        }
        // Only the window system's options start the desktop program; anything else is a
        // mistake that must not open a window or pass silently.
        for (qsizetype i = 0; i < arguments.size();) {
            const QString& argument = arguments[i];
            if (!argument.startsWith(QLatin1Char('-')) && isPath(argument)) {
                result.files << argument;
                ++i;
                continue;
            }
            const int length = argument.startsWith(QLatin1Char('-')) ? windowOptionLength(arguments, i) : 0;
            if (length == 0) {
                if (argument.startsWith(QLatin1Char('-')))
                    return UsageError{QStringLiteral("unknown option \"%1\"").arg(argument), {}};
                if (!result.files.isEmpty())
                    return UsageError{QStringLiteral("\"%1\": no such file or folder").arg(argument), {}};
                return UsageError{QStringLiteral("a command comes first: \"%1\" is not one").arg(argument), {}};
            }
            result.passThrough << arguments.mid(i, length);
            i += length;
        }
        return result;
    }

    const QString command = arguments.first();
    const QStringList rest = arguments.mid(1);
    QCommandLineParser parser;
    QString error;

    if (command == QLatin1String("help")) {
        const QStringList known{QStringLiteral("serve"), QStringLiteral("list"), QStringLiteral("send"),
                                QStringLiteral("devices")};
        if (rest.size() > 1 || (rest.size() == 1 && !known.contains(rest.first())))
            return UsageError{QStringLiteral("help takes one of serve, list, send or devices"), {}};
        result.command = CliArguments::Command::Help;
        result.helpTopic = rest.value(0);
        return result;
    }
    if (command == QLatin1String("serve")) {
        parser.addOptions({kLabel, kOnce, kMkdir, kExisting, kAccept, kNoResume});
        if (!parseWith(parser, rest, error))
            return UsageError{error, command};
        if (parser.isSet(kHelp)) {
            result.command = CliArguments::Command::Help;
            result.helpTopic = command;
            return result;
        }
        if (parser.positionalArguments().size() != 1)
            return UsageError{QStringLiteral("serve needs exactly one directory"), command};
        result.command = CliArguments::Command::Serve;
        result.directory = parser.positionalArguments().first();
        result.label = parser.value(kLabel);
        result.once = parser.isSet(kOnce);
        result.makeDirectory = parser.isSet(kMkdir);
        result.noResume = parser.isSet(kNoResume);
        if (parser.isSet(kExisting)) {
            const auto existing = ParseExistingFiles(parser.value(kExisting));
            if (!existing)
                return UsageError{QStringLiteral("--existing takes overwrite, rename or skip"), command};
            result.existing = *existing;
        }
        if (parser.isSet(kAccept)) {
            const auto accept = ParseAcceptPolicy(parser.value(kAccept));
            if (!accept)
                return UsageError{QStringLiteral("--accept takes open, paired or trusted"), command};
            result.accept = *accept;
        }
        return result;
    }
    if (command == QLatin1String("devices")) {
        if (!parseWith(parser, rest, error))
            return UsageError{error, command};
        if (parser.isSet(kHelp)) {
            result.command = CliArguments::Command::Help;
            result.helpTopic = command;
            return result;
        }
        const QStringList words = parser.positionalArguments();
        if (!words.isEmpty() && (words.first() != QLatin1String("forget") || words.size() != 2 || words[1].isEmpty()))
            return UsageError{QStringLiteral("devices takes nothing, or forget NAME"), command};
        result.command = CliArguments::Command::Devices;
        result.forget = words.value(1);
        return result;
    }
    if (command == QLatin1String("list")) {
        parser.addOptions({kHost, kWait});
        if (!parseWith(parser, rest, error))
            return UsageError{error, command};
        if (parser.isSet(kHelp)) {
            result.command = CliArguments::Command::Help;
            result.helpTopic = command;
            return result;
        }
        if (!parser.positionalArguments().isEmpty())
            return UsageError{QStringLiteral("list takes no files or directories"), command};
        if (auto usage = takeSearchOptions(parser, command, result))
            return *usage;
        result.command = CliArguments::Command::List;
        return result;
    }
    if (command == QLatin1String("send")) {
        parser.addOptions({kSession, kHost, kWait, kBlockSize, kEncrypt, kNoEncrypt, kCode, kRetry});
        if (!parseWith(parser, rest, error))
            return UsageError{error, command};
        if (parser.isSet(kHelp)) {
            result.command = CliArguments::Command::Help;
            result.helpTopic = command;
            return result;
        }
        if (parser.positionalArguments().isEmpty())
            return UsageError{QStringLiteral("send needs at least one file or folder"), command};
        if (parser.isSet(kEncrypt) && parser.isSet(kNoEncrypt))
            return UsageError{QStringLiteral("--encrypt and --no-encrypt exclude each other"), command};
        if (parser.isSet(kBlockSize)) {
            bool ok = false;
            const int size = parser.value(kBlockSize).toInt(&ok);
            if (!ok || size < 1 || size > 2048)
                return UsageError{QStringLiteral("the block size must be a number from 1 to 2048"), command};
            result.blockSize = static_cast<qint16>(size);
        }
        if (auto usage = takeSearchOptions(parser, command, result))
            return *usage;
        if (parser.isSet(kRetry)) {
            bool ok = false;
            const int seconds = parser.value(kRetry).toInt(&ok);
            if (!ok || seconds < 0 || seconds > 86400)
                return UsageError{QStringLiteral("--retry takes a whole number of seconds from 0 to 86400, such as 30"),
                                  command};
            result.retrySeconds = seconds;
        }
        if (parser.isSet(kCode)) {
            result.code = PairingCode::FromTyped(parser.value(kCode));
            if (!result.code)
                return UsageError{QStringLiteral("--code takes the eight digits the server shows, such as 4829-1375"),
                                  command};
        }
        if (parser.isSet(kEncrypt))
            result.encrypt = true;
        else if (parser.isSet(kNoEncrypt))
            result.encrypt = false;
        result.command = CliArguments::Command::Send;
        result.label = parser.value(kSession);
        result.files = parser.positionalArguments();
        return result;
    }
    return UsageError{QStringLiteral("unknown command \"%1\"").arg(command), {}};
}
