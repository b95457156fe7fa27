#include "net/sessionlabel.h"

#include "platform/dplay/discoverymessage.h"

QString SessionLabelProblem(const QString& label, const QString& directory)
{
    if (label.contains(QLatin1Char('#')))
        return QStringLiteral("A session name cannot contain \"#\": other PCs would show only the part before it.");
    for (const QChar c : label) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return QStringLiteral("A session name cannot contain control characters such as tabs or line breaks.");
    }
    const qsizetype bytes = label.toLocal8Bit().size() + 1 + directory.toLocal8Bit().size();
    if (bytes > qsizetype(DiscoveryMessage::kMaxSessionName))
        return QStringLiteral("The session name and the target directory are too long together (%1 bytes; "
                              "at most %2).")
            .arg(bytes)
            .arg(DiscoveryMessage::kMaxSessionName);
    return QString();
}
