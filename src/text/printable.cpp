#include "text/printable.h"

#include <algorithm>

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

bool isDirectionMark(char16_t c)
{
    return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool needsEscape(QChar c)
{
    return isControl(c.unicode()) || isDirectionMark(c.unicode());
}

QString hex(char16_t c, int digits)
{
    return QString::number(c, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

} // namespace

QString Printable(const QString& text)
{
    if (std::none_of(text.begin(), text.end(), needsEscape))
        return text;
    QString result;
    result.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (isControl(c.unicode()))
            result += QStringLiteral("\\x") + hex(c.unicode(), 2);
        else if (isDirectionMark(c.unicode()))
            result += QStringLiteral("\\u") + hex(c.unicode(), 4);
        else
            result += c;
    }
    return result;
}

bool HasControlBytes(const QByteArray& bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}
