#pragma once

#include "platform/apperror.h"

#include <QString>

// Why joining a session failed, in the terms a front end tells the user: the session is full
// (another client holds it), it has ended, its server cannot be reached or did not answer in
// time, or something else. message() is the log's text.
class JoinError final : public AppError {
public:
    enum class Reason { Full, Ended, Unreachable, TimedOut, Other };

    JoinError(const QString& message, Reason reason, QString detail, QString host, int port)
        : AppError(message), m_reason(reason), m_detail(std::move(detail)), m_host(std::move(host)), m_port(port)
    {
    }

    Reason Why() const { return m_reason; }
    // The service's sentence for the failure ("The connection could not be established.").
    const QString& Detail() const { return m_detail; }
    // Where the search heard the session: its server's IPv4 address and TCP port; an empty
    // host when unknown.
    const QString& Host() const { return m_host; }
    int Port() const { return m_port; }

private:
    Reason m_reason;
    QString m_detail;
    QString m_host;
    int m_port;
};
