#pragma once

#include "platform/apperror.h"

#include <QString>

#include <cstdint>

class JoinError;

// Session service results as the user reads them. A result is a 32-bit HRESULT whose high
// bit marks a failure.

// The English sentence for a listed failure code; "Unrecognized Error" for any other code,
// success codes and DPERR_PENDING included.
QString ResultText(std::int32_t code);

// The result's name ("DPERR_SESSIONLOST"), or an empty text for an unlisted code. For logs.
QString ResultName(std::int32_t code);

// Why joining the session named `session` failed, in plain words for a user.
QString JoinFailureText(const JoinError& error, const QString& session);

// The failure CheckResult raises: an AppError that keeps its result code, so that a front
// end can tell a full session from an unreachable one without reading the text.
class ResultError final : public AppError {
public:
    ResultError(const QString& message, std::int32_t result) : AppError(message), m_result(result) {}
    std::int32_t Result() const { return m_result; }

private:
    std::int32_t m_result;
};

// True when `error` says that the connection to the other end is gone: the session was
// lost, or there is no connection.
bool IsConnectionLost(const AppError& error);

// True when `code` is a success (high bit clear, positive codes included). A failure raises
// ResultError with the message `context` + ": " + ResultText(code). Never returns false.
bool CheckResult(std::int32_t code, const QString& context);
