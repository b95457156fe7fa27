#include "net/sessionaddress.h"

#include "net/resulttext.h"
#include "platform/apperror.h"
#include "platform/dplay/sessionservice.h"
#include "text/printable.h"

#include <QtEndian>

#include <optional>

#include <vector>

namespace {

constexpr qsizetype kMaxPortText = 99;

} // namespace

QByteArray MakeCompoundAddress(const DPCOMPOUNDADDRESSELEMENT* elements, DWORD count)
{
    const std::shared_ptr<IDirectPlayLobby3A> lobby = CreateDirectPlayLobby();
    if (!lobby)
        throw AppError(QStringLiteral("IDirectPlayLobby3 not available"));

    DWORD size = 0;
    HRESULT hr = lobby->CreateCompoundAddress(elements, count, nullptr, &size);
    if (hr != DPERR_BUFFERTOOSMALL)
        throw AppError(QStringLiteral("CreateCompoundAddress failed"));

    QByteArray address(static_cast<qsizetype>(size), '\0');
    hr = lobby->CreateCompoundAddress(elements, count, address.data(), &size);
    if (FAILED(hr))
        throw AppError(QStringLiteral("CreateCompoundAddress: ") + ResultText(hr));
    address.truncate(static_cast<qsizetype>(size));
    return address;
}

QByteArray MakeTcpIpAddress(const QString& hostAndPort)
{
    QString host = hostAndPort;
    std::optional<quint16> port;
    const qsizetype colon = hostAndPort.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        const QString portText = hostAndPort.mid(colon + 1, kMaxPortText);
        bool ok = false;
        const uint value = portText.trimmed().toUInt(&ok, 10);
        if (!ok || value > 0xFFFF)
            throw AppError(QStringLiteral("'%1' is not a valid port number").arg(portText));
        port = static_cast<quint16>(value);
        host.truncate(colon);
    }

    QByteArray hostBytes = host.toLocal8Bit();
    hostBytes.append('\0');
    GUID provider = DPSPGUID_TCPIP;
    uchar portBytes[2];

    std::vector<DPCOMPOUNDADDRESSELEMENT> elements;
    elements.push_back({DPAID_ServiceProvider, sizeof(GUID), &provider});
    elements.push_back({DPAID_INet, static_cast<DWORD>(hostBytes.size()), hostBytes.data()});
    if (port) {
        qToLittleEndian<quint16>(*port, portBytes);
        elements.push_back({DPAID_INetPort, sizeof portBytes, portBytes});
    }
    return MakeCompoundAddress(elements.data(), static_cast<DWORD>(elements.size()));
}

QByteArray MakeIpxAddress()
{
    GUID provider = DPSPGUID_IPX;
    const DPCOMPOUNDADDRESSELEMENT element{DPAID_ServiceProvider, sizeof(GUID), &provider};
    return MakeCompoundAddress(&element, 1);
}

QString DiscoveryPortProblem()
{
    if (SessionService::DiscoveryPortFromEnvironment())
        return QString();
    return QStringLiteral("FERROWARDEN_DISCOVERY_PORT is \"%1\"; it must be a port number from 1 to 65535")
        .arg(Printable(QString::fromLocal8Bit(qgetenv("FERROWARDEN_DISCOVERY_PORT"))));
}
