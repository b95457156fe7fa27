#include "text/printable.h"

#include <gtest/gtest.h>

namespace {

TEST(Printable, ControlCharactersAndDirectionMarksAreEscaped)
{
    const struct {
        QString text;
        const char* shown;
    } rows[] = {
        {QStringLiteral("plain name.txt"), "plain name.txt"},
        {QStringLiteral("Grüße – ÄÖÜ"), "Grüße – ÄÖÜ"},
        {QStringLiteral("back\\slash"), "back\\slash"},
        {QStringLiteral("evil\nServer shut down"), "evil\\x0AServer shut down"},
        {QStringLiteral("\r\t\a\x1b[31m"), "\\x0D\\x09\\x07\\x1B[31m"},
        {QString(QChar(0)) + QStringLiteral("x"), "\\x00x"},
        {QStringLiteral("del\x7f"), "del\\x7F"},
        {QString(QChar(0x9B)) + QStringLiteral("2J"), "\\x9B2J"}, // the one-character CSI
        {QStringLiteral("txt.") + QChar(0x202E) + QStringLiteral("exe"), "txt.\\u202Eexe"},
        {QString(QChar(0x2066)) + QChar(0x200F), "\\u2066\\u200F"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Printable(row.text), QString::fromUtf8(row.shown)) << row.shown;
}

TEST(Printable, ControlBytes)
{
    EXPECT_FALSE(HasControlBytes("name with spaces \xC3\xBC"));
    EXPECT_FALSE(HasControlBytes(""));
    for (const char* bytes : {"\n", "a\rb", "\x1b", "\x7f", "\x1f"})
        EXPECT_TRUE(HasControlBytes(bytes)) << int(bytes[0]);
}

} // namespace
