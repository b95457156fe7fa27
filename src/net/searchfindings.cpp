#include "net/searchfindings.h"

#include "net/sessionroles.h"
#include "text/printable.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

QString addressText(in_addr address)
{
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return QString::fromLatin1(text);
}

QString countText(std::size_t count, const char* one, const char* many)
{
    return count == 1 ? QString::fromLatin1(one) : QStringLiteral("%1 %2").arg(count).arg(QLatin1String(many));
}

bool isFull(const SessionDirectory::Listing& session)
{
    return session.maxPlayers != 0 && session.currentPlayers >= session.maxPlayers;
}

} // namespace

std::vector<BusySession> BusySessions(const SearchReport& report, const GUID& application)
{
    std::vector<BusySession> busy;
    for (const SessionDirectory::Listing& session : report.heard) {
        if (session.application != application || !isFull(session))
            continue;
        const auto [label, directory] = SessionRoles::SplitDescriptor(QString::fromLocal8Bit(session.name));
        busy.push_back({Printable(label), Printable(directory)});
    }
    return busy;
}

QStringList EmptySearchLines(const SearchReport& report, const GUID& application)
{
    QStringList lines;
    const bool oneHost = report.asked.size() == 1 && report.asked.front().interfaceName.empty();
    const int port = report.asked.empty() ? 0 : ntohs(report.asked.front().address.sin_port);

    QStringList asked;
    QStringList failed;
    for (const SearchReport::Target& target : report.asked) {
        QString text = addressText(target.address.sin_addr);
        if (!target.interfaceName.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(target.interfaceName.c_str()));
        asked << text;
        if (target.sendError != 0)
            failed << QStringLiteral("%1: %2").arg(text, QString::fromLocal8Bit(std::strerror(target.sendError)));
    }
    lines << QStringLiteral("asked: %1 on UDP port %2").arg(asked.join(QStringLiteral(", "))).arg(port);
    if (!failed.isEmpty())
        lines << QStringLiteral("could not send to %1").arg(failed.join(QStringLiteral("; ")));

    QStringList unasked;
    for (const InterfaceAddress& i : report.withoutBroadcast)
        unasked << QStringLiteral("%1 (%2/%3)")
                       .arg(QString::fromLocal8Bit(i.interfaceName.c_str()), addressText(i.address))
                       .arg(i.prefixLength);
    if (!unasked.isEmpty())
        lines << QStringLiteral("not asked: %1 %2 no broadcast address")
                     .arg(unasked.join(QStringLiteral(", ")),
                          unasked.size() == 1 ? QStringLiteral("has") : QStringLiteral("have"));

    QStringList heard;
    if (report.notReplies > 0) {
        QStringList senders;
        for (const sockaddr_in& sender : report.notReplySenders)
            senders << QStringLiteral("%1:%2").arg(addressText(sender.sin_addr)).arg(ntohs(sender.sin_port));
        heard << QStringLiteral("%1 from %2 that %3 no Ferrowarden answer (another program, or another "
                                "version of this one)")
                     .arg(countText(report.notReplies, "1 datagram", "datagrams"), senders.join(QStringLiteral(", ")),
                          report.notReplies == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    }
    QStringList otherHosts;
    std::size_t others = 0;
    for (const SessionDirectory::Listing& session : report.heard) {
        if (session.application == application)
            continue;
        ++others;
        const QString host = addressText(session.address.sin_addr);
        if (!otherHosts.contains(host))
            otherHosts << host;
    }
    if (others > 0)
        heard << QStringLiteral("%1 of another application, from %2")
                     .arg(countText(others, "1 session", "sessions"), otherHosts.join(QStringLiteral(", ")));
    lines << QStringLiteral("came back: %1")
                 .arg(heard.isEmpty() ? QStringLiteral("nothing") : heard.join(QStringLiteral("; ")));

    if (oneHost) {
        lines << QStringLiteral("check: serve running on %1 with discovery port %2 (HOST:PORT names another)")
                     .arg(addressText(report.asked.front().address.sin_addr))
                     .arg(port);
        lines << QStringLiteral("and its firewall letting in UDP port %1 and TCP").arg(port);
    } else {
        lines << QStringLiteral("check: both PCs on the same network; the server's firewall letting in UDP "
                                "port %1 and TCP")
                     .arg(port);
        lines << QStringLiteral("or name the server: --host HOST[:PORT]");
    }
    return lines;
}
