// What a user sees on a terminal: the progress lines of send and serve under a
// pseudo-terminal of a given width, and the lines that stay when a copy is over.
#include "cli/support/clienvironment.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <QByteArrayList>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace {

// A ferrowarden process on a pseudo-terminal of `columns` columns: its stdout and stderr
// are the terminal, as in a user's shell.
class TerminalRun {
public:
    TerminalRun(const CliEnvironment& env, const QStringList& arguments, int columns)
    {
        winsize size{};
        size.ws_row = 40;
        size.ws_col = static_cast<unsigned short>(columns);
        std::vector<QByteArray> texts{QByteArray(FERROWARDEN_BIN)};
        for (const QString& argument : arguments)
            texts.push_back(argument.toLocal8Bit());
        std::vector<QByteArray> environment;
        for (const QString& entry : env.Environment.toStringList())
            environment.push_back(entry.toLocal8Bit());
        environment.push_back("TERM=xterm");
        const QByteArray directory = env.Path().toLocal8Bit();
        m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
        if (m_pid == 0) {
            std::vector<char*> argv, envp;
            for (QByteArray& text : texts)
                argv.push_back(text.data());
            argv.push_back(nullptr);
            for (QByteArray& entry : environment)
                envp.push_back(entry.data());
            envp.push_back(nullptr);
            if (::chdir(directory.constData()) == 0)
                ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~TerminalRun()
    {
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0)
            ::close(m_master);
    }

    bool Started() const { return m_pid > 0; }
    // Reads what the terminal shows until it holds `text` `times` times (or, with an empty
    // text, until the process has closed it); false when that did not come within a minute.
    bool ReadUntil(const QByteArray& text = {}, qsizetype times = 1)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (text.isEmpty() || Screen.count(text) < times) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pollfd readable{m_master, POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                return text.isEmpty(); // closed: the process has ended
            Screen.append(buffer, n);
        }
        return true;
    }
    // Waits for the process (after ReadUntil() saw the terminal close); its exit code.
    int Finish()
    {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_ended = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Signal(int signal) { ::kill(m_pid, signal); }

    // Every progress line drawn: written after a carriage return and followed by "erase to
    // the end of the line" (a line that is only cleared has nothing before the erase).
    QByteArrayList ProgressLines() const
    {
        QByteArrayList lines;
        const QByteArrayList pieces = Screen.split('\r');
        for (qsizetype i = 1; i < pieces.size(); ++i) {
            const qsizetype erase = pieces[i].indexOf("\x1b[K");
            if (erase > 0)
                lines << pieces[i].left(erase);
        }
        return lines;
    }

    QByteArray Screen;

private:
    pid_t m_pid = -1;
    int m_master = -1;
    bool m_ended = false;
};

class Terminal : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(env.IsValid());
        files = {env.WriteFile("one.bin", RandomBytes(3 << 20, 1)), env.WriteFile("two.bin", RandomBytes(1 << 20, 2)),
                 env.WriteFile("three.txt", "three")};
    }
    void TearDown() override
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            server.waitForFinished(5000);
        }
    }

    CliEnvironment env;
    QStringList files;
    QProcess server;
};

TEST_F(Terminal, SendKeepsItsProgressOnOneLineAndLeavesASummary)
{
    ASSERT_TRUE(env.StartServer(server));
    for (const int columns : {50, 200}) {
        TerminalRun send(env, QStringList{"send", "--host", "127.0.0.1"} + files, columns);
        ASSERT_TRUE(send.Started());
        ASSERT_TRUE(send.ReadUntil()) << send.Screen.toStdString();
        EXPECT_EQ(send.Finish(), 0) << send.Screen.toStdString();
        const QByteArrayList progress = send.ProgressLines();
        ASSERT_FALSE(progress.isEmpty()) << send.Screen.toStdString();
        for (const QByteArray& line : progress)
            EXPECT_LT(line.size(), columns) << columns << " columns: \"" << line.toStdString() << "\"";
        // The widest form where there is room for it.
        if (columns == 200) {
            EXPECT_TRUE(progress.last().endsWith(" left")) << progress.last().toStdString();
        }
        // The summary stays, the last line, once the progress line has been taken away.
        const QByteArray last = send.Screen.mid(send.Screen.lastIndexOf('\n', -3) + 1);
        EXPECT_TRUE(last.startsWith("Sent 3 files (4.0 MiB) in ")) << last.toStdString();
        EXPECT_TRUE(last.endsWith(": done\r\n")) << last.toStdString();
        EXPECT_FALSE(last.contains('\x1b')) << last.toStdString();
    }
}

TEST_F(Terminal, ServeShowsTheSendersAddressAndASummaryPerCopy)
{
    for (const int columns : {50, 200}) {
        TerminalRun serve(env, {"serve", "in", "--label", env.Label}, columns);
        ASSERT_TRUE(serve.Started());
        ASSERT_TRUE(serve.ReadUntil("Server started succesfully!")) << serve.Screen.toStdString();
        ASSERT_TRUE(serve.ReadUntil("TCP port ")) << serve.Screen.toStdString();
        for (int copy = 1; copy <= 2; ++copy) {
            QProcess send;
            send.setProcessEnvironment(env.Environment);
            send.setWorkingDirectory(env.Path());
            send.start(FERROWARDEN_BIN, QStringList{"send", "--host", "127.0.0.1"} + files);
            // The server's terminal is read while the copy runs, so that the server never
            // waits for room on it.
            ASSERT_TRUE(serve.ReadUntil("Received 3 files (4.0 MiB) from 127.0.0.1:", copy))
                << serve.Screen.toStdString();
            ASSERT_TRUE(send.waitForFinished(30000));
            EXPECT_EQ(send.exitCode(), 0);
        }
        serve.Signal(SIGTERM);
        ASSERT_TRUE(serve.ReadUntil());
        EXPECT_EQ(serve.Finish(), 0);

        const QByteArrayList progress = serve.ProgressLines();
        ASSERT_FALSE(progress.isEmpty()) << serve.Screen.toStdString();
        for (const QByteArray& line : progress)
            EXPECT_LT(line.size(), columns) << columns << " columns: \"" << line.toStdString() << "\"";
        if (columns == 200) {
            EXPECT_TRUE(progress.last().startsWith("from 127.0.0.1:")) << progress.last().toStdString();
        }
        EXPECT_EQ(serve.Screen.count("Received 3 files (4.0 MiB) from 127.0.0.1:"), 2) << serve.Screen.toStdString();
        // Nothing is left half a line when the server stops.
        EXPECT_TRUE(serve.Screen.endsWith("\r\n")) << serve.Screen.toStdString();
    }
}

} // namespace
