#include "cli/support/clienvironment.h"

#include "net/sessionaddress.h"
#include "net/sessionroles.h"
#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/sessionservice.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace {

// A discovery port of this test program's own, so that programs running side by side never
// meet: one that nobody holds now, apart from the ranges the other test programs use.
int freeDiscoveryPort()
{
    for (int attempt = 0; attempt < 2000; ++attempt) {
        const int port = 22000 + (::getpid() * 7 + attempt) % 2000;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 22000;
}

} // namespace

CliEnvironment::CliEnvironment()
{
    QDir(m_dir.path()).mkpath("in");
    QDir(m_dir.path()).mkpath("cfg");
    Port = freeDiscoveryPort();
    Label = QStringLiteral("Test %1").arg(::getpid());
    Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert("XDG_CONFIG_HOME", Path("cfg"));
    Environment.insert("XDG_DATA_HOME", Path("data"));
    Environment.insert("FERROWARDEN_DISCOVERY_PORT", QString::number(Port));
}

QString CliEnvironment::Path(const QString& name) const
{
    return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
}

QString CliEnvironment::WriteFile(const QString& name, const QByteArray& bytes) const
{
    QFile file(Path(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return file.fileName();
}

CliResult CliEnvironment::Run(const QStringList& arguments, const QStringList& wrapper) const
{
    QProcess process;
    process.setProcessEnvironment(Environment);
    process.setWorkingDirectory(Path());
    QStringList all = wrapper;
    all << FERROWARDEN_BIN << arguments;
    process.start(all.takeFirst(), all);
    CliResult result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.code = process.exitCode();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool CliEnvironment::WaitForOutput(QProcess& process, QByteArray& seen, const QByteArray& text)
{
    while (!seen.contains(text)) {
        if (!process.waitForReadyRead(20000))
            return false;
        seen += process.readAllStandardOutput();
    }
    return true;
}

bool CliEnvironment::StartServer(QProcess& server, const QStringList& extra, const QStringList& wrapper) const
{
    server.setProcessEnvironment(Environment);
    server.setWorkingDirectory(Path());
    QStringList arguments = wrapper;
    arguments << FERROWARDEN_BIN << "serve"
              << "in"
              << "--label" << Label << extra;
    server.start(arguments.takeFirst(), arguments);
    QByteArray seen;
    return server.waitForStarted() && WaitForOutput(server, seen, "Server started succesfully!");
}

SessionHolder::SessionHolder(int port)
{
    m_service = std::make_shared<SessionService>();
    QByteArray address = MakeTcpIpAddress(QStringLiteral("127.0.0.1:%1").arg(port));
    if (m_service->InitializeConnection(address.data(), 0) != DP_OK)
        return;
    DPSESSIONDESC2 wanted{};
    wanted.dwSize = DPSESSIONDESC2_SIZE;
    wanted.guidApplication = FerrowardenApplicationGuid;
    GUID instance = GUID_NULL;
    const auto collect = [](LPCDPSESSIONDESC2 session, DWORD*, DWORD flags, void* context) -> BOOL {
        if (flags & DPESC_TIMEDOUT)
            return FALSE;
        *static_cast<GUID*>(context) = session->guidInstance;
        return FALSE;
    };
    // Synchronous polls: each asks for a second.
    for (int attempt = 0; attempt < 5 && instance == GUID_NULL; ++attempt)
        m_service->EnumSessions(&wanted, 1000, collect, &instance, DPENUMSESSIONS_AVAILABLE);
    if (instance == GUID_NULL)
        return;
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = instance;
    DPID player = 0;
    m_joined = m_service->Open(&join, DPOPEN_JOIN) == DP_OK
               && m_service->CreatePlayer(&player, nullptr, std::make_shared<AutoResetEvent>(), nullptr, 0, 0) == DP_OK;
}

SessionHolder::~SessionHolder()
{
    Leave();
}

void SessionHolder::Leave()
{
    m_service.reset();
}

FakeHost::FakeHost(int port, const QString& label, Mode mode) : m_mode(mode), m_label(label)
{
    m_udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(m_udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    ::bind(m_udp, reinterpret_cast<sockaddr*>(&a), sizeof a);

    m_tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in t{};
    t.sin_family = AF_INET;
    t.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof t;
    ::bind(m_tcp, reinterpret_cast<sockaddr*>(&t), sizeof t);
    ::listen(m_tcp, 4);
    ::getsockname(m_tcp, reinterpret_cast<sockaddr*>(&t), &length);
    m_tcpPort = ntohs(t.sin_port);
    if (m_mode != Mode::RefusesAsFull) {
        // The port was just taken and given back: nobody listens there now.
        ::close(m_tcp);
        m_tcp = -1;
    }
    m_thread = std::thread([this] { serve(); });
}

FakeHost::~FakeHost()
{
    m_stop = true;
    m_thread.join();
    ::close(m_udp);
    if (m_tcp >= 0)
        ::close(m_tcp);
}

void FakeHost::serve()
{
    DiscoveryMessage reply;
    reply.kind = DiscoveryMessage::Kind::Reply;
    reply.instance = GUID{0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    reply.application = FerrowardenApplicationGuid;
    reply.tcpPort = std::uint16_t(m_tcpPort);
    reply.maxPlayers = 2;
    reply.currentPlayers = 1;
    reply.name = (m_label + QStringLiteral("#/fake/")).toStdString();
    const auto replyBytes = reply.Encode();
    std::vector<int> clients;
    while (!m_stop) {
        pollfd fds[2] = {{m_udp, POLLIN, 0}, {m_tcp, POLLIN, 0}};
        if (::poll(fds, m_tcp >= 0 ? 2 : 1, 50) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            unsigned char buf[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(m_udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length);
            const auto request = DiscoveryMessage::Decode(buf, n > 0 ? std::size_t(n) : 0);
            if (m_mode == Mode::Stranger)
                ::sendto(m_udp, "hello", 5, 0, reinterpret_cast<sockaddr*>(&from), length);
            else if (request && request->kind == DiscoveryMessage::Kind::Request)
                ::sendto(m_udp, replyBytes.data(), replyBytes.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
        if (m_tcp >= 0 && (fds[1].revents & POLLIN)) {
            const int client = ::accept(m_tcp, nullptr, nullptr);
            if (client < 0)
                continue;
            // Take the join first: closing on unread bytes would reset the connection and
            // could lose the refusal on its way.
            unsigned char join[64];
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 2000) > 0)
                (void)::recv(client, join, sizeof join, 0);
            FrameCodec::Buffer refused;
            FrameCodec::AppendRefused(refused, DPERR_ACCESSDENIED);
            (void)::send(client, refused.data(), refused.size(), MSG_NOSIGNAL);
            ::shutdown(client, SHUT_WR);
            clients.push_back(client);
        }
    }
    for (const int client : clients)
        ::close(client);
}
