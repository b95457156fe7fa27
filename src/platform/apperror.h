#pragma once

#include <QString>
#include <stdexcept>

// The one exception type of the program: a failure with a message for the user.
class AppError : public std::runtime_error {
public:
    explicit AppError(const QString& message) : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& message() const { return m_message; }

private:
    QString m_message;
};
