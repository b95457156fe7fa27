#include "cli/cliarguments.h"

#include <QCommandLineParser>

namespace {

const QCommandLineOption kLabel(QStringList{QStringLiteral("label")},
                                QStringLiteral("Session label"), QStringLiteral("TEXT"));
const QCommandLineOption kOnce(QStringList{QStringLiteral("once")},
                               QStringLiteral("Exit when the first client has left"));
const QCommandLineOption kHost(QStringList{QStringLiteral("host")},
                               QStringLiteral("Search only this host"), QStringLiteral("HOST[:PORT]"));
const QCommandLineOption kSession(QStringList{QStringLiteral("session")},
                                  QStringLiteral("Label of the session to join"), QStringLiteral("LABEL"));
const QCommandLineOption kBlockSize(QStringList{QStringLiteral("block-size")},
                                    QStringLiteral("Bytes per block, 1 to 2048"), QStringLiteral("N"));
const QCommandLineOption kEncrypt(QStringList{QStringLiteral("encrypt")},
                                  QStringLiteral("Encrypt this copy"));
const QCommandLineOption kNoEncrypt(QStringList{QStringLiteral("no-encrypt")},
                                    QStringLiteral("Do not encrypt this copy"));

// QCommandLineParser wants the program name first.
bool parseWith(QCommandLineParser& parser, const QStringList& arguments, QString& error)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(QStringList{QStringLiteral("ferrowarden")} + arguments)) {
        error = parser.errorText();
        return false;
    }
    return true;
}

} // namespace

QString CliUsage()
{
    return QStringLiteral(
        "Usage:\n"
        "  ferrowarden                       start the desktop program\n"
        "  ferrowarden serve DIR [--label TEXT] [--once]\n"
        "                                    host a session and receive files into DIR\n"
        "  ferrowarden list [--host HOST[:PORT]]\n"
        "                                    list the sessions hosted on the network\n"
        "  ferrowarden send [--session LABEL] [--host HOST[:PORT]] [--block-size N]\n"
        "                   [--encrypt | --no-encrypt] FILE...\n"
        "                                    send files to a hosted session\n"
        "  ferrowarden --help | --version\n");
}

std::variant<CliArguments, UsageError> ParseCliArguments(const QStringList& arguments)
{
    CliArguments result;
    if (arguments.isEmpty() || arguments.first().startsWith(QLatin1Char('-'))) {
        if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h")))
            result.command = CliArguments::Command::Help;
        else if (arguments.contains(QStringLiteral("--version")))
            result.command = CliArguments::Command::Version;
        else
            result.passThrough = arguments;
        return result;
    }

    const QString command = arguments.first();
    const QStringList rest = arguments.mid(1);
    QCommandLineParser parser;
    QString error;

    if (command == QLatin1String("serve")) {
        parser.addOptions({kLabel, kOnce});
        if (!parseWith(parser, rest, error))
            return UsageError{error};
        if (parser.positionalArguments().size() != 1)
            return UsageError{QStringLiteral("serve needs exactly one directory")};
        result.command = CliArguments::Command::Serve;
        result.directory = parser.positionalArguments().first();
        result.label = parser.value(kLabel);
        result.once = parser.isSet(kOnce);
        return result;
    }
    if (command == QLatin1String("list")) {
        parser.addOption(kHost);
        if (!parseWith(parser, rest, error))
            return UsageError{error};
        if (!parser.positionalArguments().isEmpty())
            return UsageError{QStringLiteral("list takes no files or directories")};
        result.command = CliArguments::Command::List;
        result.host = parser.value(kHost);
        return result;
    }
    if (command == QLatin1String("send")) {
        parser.addOptions({kSession, kHost, kBlockSize, kEncrypt, kNoEncrypt});
        if (!parseWith(parser, rest, error))
            return UsageError{error};
        if (parser.positionalArguments().isEmpty())
            return UsageError{QStringLiteral("send needs at least one file")};
        if (parser.isSet(kEncrypt) && parser.isSet(kNoEncrypt))
            return UsageError{QStringLiteral("--encrypt and --no-encrypt exclude each other")};
        if (parser.isSet(kBlockSize)) {
            bool ok = false;
            const int size = parser.value(kBlockSize).toInt(&ok);
            if (!ok || size < 1 || size > 2048)
                return UsageError{QStringLiteral("the block size must be a number from 1 to 2048")};
            result.blockSize = static_cast<qint16>(size);
        }
        if (parser.isSet(kEncrypt))
            result.encrypt = true;
        else if (parser.isSet(kNoEncrypt))
            result.encrypt = false;
        result.command = CliArguments::Command::Send;
        result.label = parser.value(kSession);
        result.host = parser.value(kHost);
        result.files = parser.positionalArguments();
        return result;
    }
    return UsageError{QStringLiteral("unknown command \"%1\"").arg(command)};
}
