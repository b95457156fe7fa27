#include "net/resulttext.h"
#include "platform/apperror.h"

#include <gtest/gtest.h>

#include <QSet>

#include <cstdint>

namespace {

std::int32_t Code(std::uint32_t value)
{
    return static_cast<std::int32_t>(value);
}

struct TextCase {
    std::uint32_t code;
    const char* text;
};

// The texts users meet through the program's own calls, word for word.
const TextCase kExactTexts[] = {
    {0x80004002, "The interface is not supported."},
    {0x80004005, "An undefined error condition occurred."},
    {0x8007000E, "There is insufficient memory to perform the requested operation."},
    {0x80070057, "One or more of the parameters passed to the method are invalid."},
    {0x88770005, "This object is already initialized."},
    {0x8877000A, "The session is full or an incorrect password was supplied."},
    {0x8877001E, "The supplied buffer is not large enough to contain the requested data."},
    {0x8877003C, "A new player cannot be created."},
    {0x88770046, "A new session cannot be created."},
    {0x88770082, "The DirectPlay object pointer is invalid."},
    {0x887700AA, "No communication link was established."},
    {0x887700BE, "There are no messages in the receive queue."},
    {0x887700C8, "No name server (host) could be found or created. A host must exist to "
                 "create a player."},
    {0x887700DC, "There are no existing sessions for this game."},
    {0x887700E6, "The message being sent by the IDirectPlay3::Send method is too large."},
    {0x887700F0, "The operation could not be completed in the specified time."},
    {0x887700FA, "The requested function is not available at this time."},
    {0x88770118, "Can be returned in two ways. 1) The user canceled the connection process "
                 "during a call to the IDirectPlay3::Open method. 2) The user clicked Cancel "
                 "in one of the DirectPlay service provider dialog boxes during a call to "
                 "IDirectPlay3::EnumSessions."},
    {0x88770136, "The connection to the session has been lost."},
    {0x88770140, "The requested object has not been initialized."},
    {0x8877014A, "The session is not accepting any new players."},
    {0x8877015E, "The method is in the process of connecting to the network. The application "
                 "should keep calling the method until it returns DP_OK, indicating "
                 "successful completion, or it returns a different error."},
};

const std::uint32_t kAllCodes[] = {
    0x80004001, 0x80004002, 0x80004005, 0x80040110, 0x8007000E, 0x80070057, 0x88770005, 0x8877000A, 0x88770014,
    0x8877001E, 0x88770028, 0x88770032, 0x8877003C, 0x88770046, 0x88770050, 0x8877005A, 0x88770078, 0x88770082,
    0x88770096, 0x8877009B, 0x887700A0, 0x887700AA, 0x887700BE, 0x887700C8, 0x887700D2, 0x887700DC, 0x887700E6,
    0x887700F0, 0x887700FA, 0x8877010E, 0x88770118, 0x8877012C, 0x88770136, 0x88770140, 0x8877014A, 0x88770154,
    0x8877015E, 0x887703E8, 0x887703F2, 0x887703FC, 0x88770406, 0x8877041A, 0x8877042E, 0x887707D0, 0x887707DA,
    0x887707E4, 0x887707EE, 0x887707F8, 0x8877080C, 0x88770816, 0x88770820,
};

TEST(ResultText, QuotedTextsAreExact)
{
    for (const TextCase& c : kExactTexts)
        EXPECT_EQ(ResultText(Code(c.code)).toStdString(), c.text) << std::hex << c.code;
}

TEST(ResultText, EveryListedCodeHasItsOwnSentence)
{
    QSet<QString> seen;
    for (std::uint32_t code : kAllCodes) {
        const QString text = ResultText(Code(code));
        EXPECT_NE(text, QStringLiteral("Unrecognized Error")) << std::hex << code;
        EXPECT_TRUE(text.endsWith(QLatin1Char('.'))) << std::hex << code;
        EXPECT_FALSE(seen.contains(text)) << "shared text for " << std::hex << code;
        seen.insert(text);
        EXPECT_TRUE(ResultName(Code(code)).startsWith(QStringLiteral("DPERR_")));
    }
    EXPECT_EQ(ResultName(Code(0x88770118)), QStringLiteral("DPERR_USERCANCEL"));
    EXPECT_EQ(ResultName(Code(0x8877015E)), QStringLiteral("DPERR_CONNECTING"));
}

TEST(ResultText, UnlistedCodesAreUnrecognized)
{
    // DP_OK, DPERR_PENDING, a positive success code, neighbours of listed codes.
    for (std::uint32_t code : {0x0u, 0x8000000Au, 0x1u, 0x88770006u, 0x88770000u, 0xFFFFFFFFu})
        EXPECT_EQ(ResultText(Code(code)), QStringLiteral("Unrecognized Error")) << std::hex << code;
}

TEST(CheckResult, SuccessCodesPass)
{
    for (std::int32_t code : {0, 1, 0x7FFFFFFF})
        EXPECT_TRUE(CheckResult(code, QStringLiteral("SendEx")));
}

TEST(CheckResult, FailureRaisesContextColonText)
{
    struct Case {
        std::uint32_t code;
        const char* context;
        const char* message;
    };
    const Case cases[] = {
        {0x8877000A, "Session create/connect",
         "Session create/connect: The session is full or an incorrect password was "
         "supplied."},
        {0x8877003C, "Create Player:", "Create Player:: A new player cannot be created."},
        {0x88770136, "SendEx", "SendEx: The connection to the session has been lost."},
        {0x8000000A, "SendEx", "SendEx: Unrecognized Error"},
    };
    for (const Case& c : cases) {
        try {
            CheckResult(Code(c.code), QString::fromUtf8(c.context));
            ADD_FAILURE() << "no exception for " << std::hex << c.code;
        } catch (const ResultError& error) {
            EXPECT_EQ(error.message().toStdString(), c.message);
            EXPECT_EQ(error.Result(), Code(c.code)); // a front end tells the cases apart by it
        }
    }
}

} // namespace
