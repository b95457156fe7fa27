#pragma once

#include <QByteArray>
#include <QString>

// Text that came from the network, made safe to put on a log line, a terminal or a list.
// Control characters (below U+0020, U+007F to U+009F) are written as "\xHH", so that a name
// holding a newline or an escape sequence can neither forge a line nor steer the terminal;
// the marks that reorder text on screen (U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069)
// are written as "\uHHHH". Everything else, backslashes included, is kept as it is.
QString Printable(const QString& text);

// True when the bytes hold a control byte: below 0x20, or 0x7F.
bool HasControlBytes(const QByteArray& bytes);
