// The physical limit of a file copy on one machine: a plain TCP connection carrying a file in
// 1 MiB writes, read on the other side in 1 MiB reads and written to a file.
//   rawpipe recv PORT OUTFILE     listens on 127.0.0.1:PORT, writes what arrives, exits at EOF
//   rawpipe send PORT FILE        connects to 127.0.0.1:PORT and sends the file
// RAWPIPE_ADDRESS names another IPv4 address to listen on or connect to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kChunk = 1 << 20;

int fail(const char* what)
{
    std::perror(what);
    return 1;
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4)
        return std::fprintf(stderr, "usage: rawpipe recv|send PORT FILE\n"), 2;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (const char* named = std::getenv("RAWPIPE_ADDRESS");
        named && *named && ::inet_pton(AF_INET, named, &address.sin_addr) != 1)
        return std::fprintf(stderr, "rawpipe: RAWPIPE_ADDRESS is not an IPv4 address\n"), 2;
    std::vector<char> buffer(kChunk);
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);

    if (std::strcmp(argv[1], "recv") == 0) {
        const int one = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return fail("bind");
        ::listen(sock, 1);
        const int peer = ::accept(sock, nullptr, nullptr);
        const int out = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (peer < 0 || out < 0)
            return fail("accept/open");
        for (;;) {
            const ssize_t n = ::read(peer, buffer.data(), kChunk);
            if (n <= 0)
                break;
            if (!writeAll(out, buffer.data(), size_t(n)))
                return fail("write");
        }
        ::close(out);
        return 0;
    }

    for (int attempt = 0; ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0; ++attempt) {
        if (attempt > 200)
            return fail("connect");
        ::usleep(10000);
    }
    const int in = ::open(argv[3], O_RDONLY);
    if (in < 0)
        return fail("open");
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), kChunk);
        if (n <= 0)
            break;
        if (!writeAll(sock, buffer.data(), size_t(n)))
            return fail("send");
    }
    ::close(sock);
    return 0;
}
