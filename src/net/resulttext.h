#pragma once

#include <QString>

#include <cstdint>

// Session service results as the user reads them. A result is a 32-bit HRESULT whose high
// bit marks a failure.

// The English sentence for a listed failure code; "Unrecognized Error" for any other code,
// success codes and DPERR_PENDING included.
QString ResultText(std::int32_t code);

// The result's name ("DPERR_SESSIONLOST"), or an empty text for an unlisted code. For logs.
QString ResultName(std::int32_t code);

// True when `code` is a success (high bit clear, positive codes included). A failure raises
// AppError with the message `context` + ": " + ResultText(code). Never returns false.
bool CheckResult(std::int32_t code, const QString& context);
