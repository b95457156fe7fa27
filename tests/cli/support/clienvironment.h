#pragma once

// What the command line's tests share: a directory with its own settings and discovery port,
// ferrowarden processes run to their end or kept as a server, a client of the test's own that
// holds a session's one place, and a host of another program's making.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

class SessionService;

struct CliResult {
    int code = -1; // -1: crashed or did not end
    QByteArray out;
    QByteArray err;

    // The first line of stderr, without its newline.
    QByteArray FirstErrorLine() const { return err.left(err.indexOf('\n')); }
};

class CliEnvironment {
public:
    CliEnvironment();

    bool IsValid() const { return m_dir.isValid(); }
    QString Path(const QString& name = QString()) const;
    // Writes `bytes` to `name` under the directory; returns its path.
    QString WriteFile(const QString& name, const QByteArray& bytes) const;

    // Runs `ferrowarden ARGUMENTS` in the directory (behind `wrapper`, e.g. ip netns exec) to
    // its end.
    CliResult Run(const QStringList& arguments, const QStringList& wrapper = {}) const;
    // Starts `serve in --label Label EXTRA` and waits until it hosts; false when it did not.
    bool StartServer(QProcess& server, const QStringList& extra = {}, const QStringList& wrapper = {}) const;
    // Reads the server's stdout until it holds `text`; false when the server ended first.
    static bool WaitForOutput(QProcess& process, QByteArray& seen, const QByteArray& text);

    QProcessEnvironment Environment;
    int Port = 0;
    QString Label;

private:
    QTemporaryDir m_dir;
};

// A client of the test's own that joins the session on 127.0.0.1 and holds its one free
// place until Leave: the session is busy meanwhile.
class SessionHolder {
public:
    explicit SessionHolder(int port);
    ~SessionHolder();
    bool Joined() const { return m_joined; }
    void Leave();

private:
    std::shared_ptr<SessionService> m_service;
    bool m_joined = false;
};

// A host of another program's making on the discovery port: it answers every search with a
// session labelled `label`, and then either refuses joins as full or names a TCP port where
// nobody listens; or it is no Ferrowarden at all and answers with a greeting of its own.
class FakeHost {
public:
    enum class Mode { RefusesAsFull, Unreachable, Stranger };
    FakeHost(int port, const QString& label, Mode mode);
    ~FakeHost();
    int TcpPort() const { return m_tcpPort; }

private:
    void serve();

    Mode m_mode;
    QString m_label;
    int m_udp = -1;
    int m_tcp = -1;
    int m_tcpPort = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
