#include "platform/signalwatch.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

SignalWatch::SignalWatch()
{
    s_interrupted = 0;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_pipe) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const auto read = ::read(s_pipe[0], &byte, 1);
        emit Raised();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    for (const int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

SignalWatch::~SignalWatch()
{
    for (const int signal : kSignals)
        std::signal(signal, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    std::signal(SIGXFSZ, SIG_DFL);
    m_notifier.reset();
    if (s_pipe[0] >= 0) {
        ::close(s_pipe[0]);
        ::close(s_pipe[1]);
        s_pipe[0] = s_pipe[1] = -1;
    }
}

void SignalWatch::onSignal(int)
{
    s_interrupted = 1;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(s_pipe[1], &byte, 1);
}
