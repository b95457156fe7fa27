// Pairing codes as shown and as typed, and the guard that replaces a code after three
// wrong attempts.
#include "secure/codeguard.h"
#include "secure/pairingcode.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>

namespace {

TEST(PairingCode, MadeCodesAreEightDigitsInTwoGroups)
{
    QSet<QString> seen;
    for (int i = 0; i < 200; ++i) {
        const PairingCode code = PairingCode::Make();
        EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d{4}$").match(code.text()).hasMatch()) << code.text().toStdString();
        EXPECT_EQ(code.digits().size(), 8);
        seen.insert(code.text());
    }
    EXPECT_GT(seen.size(), 190);
}

TEST(PairingCode, WhatAUserTypes)
{
    const struct {
        const char* typed;
        const char* digits; // nullptr: refused
    } rows[] = {
        {"4829-1375", "48291375"},
        {"48291375", "48291375"},
        {" 4829 1375 ", "48291375"},
        {"48-29-13-75", "48291375"},
        {"0000-0001", "00000001"},
        {"4829-137", nullptr},
        {"4829-13755", nullptr},
        {"4829-137a", nullptr},
        {"4829_1375", nullptr},
        {"", nullptr},
        {"\xd9\xa4\xd9\xa8\xd9\xa2\xd9\xa9\xd9\xa1\xd9\xa3\xd9\xa7\xd9\xa5", nullptr}, // Arabic-Indic digits
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        const auto code = PairingCode::FromTyped(QString::fromUtf8(row.typed));
        ASSERT_EQ(code.has_value(), row.digits != nullptr);
        if (code) {
            EXPECT_EQ(code->digits(), QByteArray(row.digits));
            EXPECT_EQ(PairingCode::FromTyped(code->text()), code);
        }
    }
}

TEST(CodeGuard, ThreeWrongAttemptsReplaceTheCode)
{
    int renewals = 0;
    CodeGuard guard([&](const PairingCode&) { ++renewals; });
    const PairingCode first = guard.code();
    // A right attempt costs nothing.
    auto right = guard.beginAttempt();
    ASSERT_TRUE(right);
    guard.endAttempt(*right, true);
    EXPECT_EQ(guard.wrongAttempts(), 0);
    // Three at once: a fourth must wait, since all three could be wrong.
    auto a = guard.beginAttempt(), b = guard.beginAttempt(), c = guard.beginAttempt();
    ASSERT_TRUE(a && b && c);
    EXPECT_FALSE(guard.beginAttempt());
    guard.endAttempt(*a, false);
    guard.endAttempt(*b, false);
    EXPECT_EQ(renewals, 0);
    EXPECT_EQ(guard.code(), first);
    guard.endAttempt(*c, false);
    EXPECT_EQ(renewals, 1);
    EXPECT_NE(guard.code(), first);
    EXPECT_EQ(guard.wrongAttempts(), 0);
    // An attempt begun at the old code changes nothing of the new one's count.
    auto next = guard.beginAttempt();
    ASSERT_TRUE(next);
    guard.endAttempt(*a, false);
    EXPECT_EQ(guard.wrongAttempts(), 0);
    guard.endAttempt(*next, false);
    EXPECT_EQ(guard.wrongAttempts(), 1);
}

} // namespace
