#include "net/sessionaddress.h"
#include "platform/apperror.h"
#include "platform/dplay/dplaylobby.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const std::string& text, bool withZero)
{
    std::vector<unsigned char> bytes(text.begin(), text.end());
    if (withZero)
        bytes.push_back(0);
    return bytes;
}

std::vector<unsigned char> GuidData(const GUID& guid)
{
    const auto* p = reinterpret_cast<const unsigned char*>(&guid);
    return {p, p + sizeof guid};
}

std::vector<AddressElement> Parse(const QByteArray& address)
{
    const auto elements = ParseCompoundAddress(address.constData());
    EXPECT_TRUE(elements.has_value());
    return elements.value_or(std::vector<AddressElement>{});
}

TEST(SessionAddress, TcpIpElements)
{
    struct Case {
        const char* text;
        std::string host;
        std::optional<std::vector<unsigned char>> port; // little-endian
    };
    const Case cases[] = {
        {"", "", std::nullopt},
        {"fileserver", "fileserver", std::nullopt},
        {"fileserver:2300", "fileserver", std::vector<unsigned char>{0xFC, 0x08}},
        {":47624", "", std::vector<unsigned char>{0x08, 0xBA}},
        {"host:0", "host", std::vector<unsigned char>{0, 0}},
        {"host:65535", "host", std::vector<unsigned char>{0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto elements = Parse(MakeTcpIpAddress(QString::fromUtf8(c.text)));
        ASSERT_EQ(elements.size(), c.port ? 3u : 2u);
        EXPECT_TRUE(elements[0].type == DPAID_ServiceProvider);
        EXPECT_EQ(elements[0].data, GuidData(DPSPGUID_TCPIP));
        EXPECT_TRUE(elements[1].type == DPAID_INet);
        EXPECT_EQ(elements[1].data, Bytes(c.host, true));
        if (c.port) {
            EXPECT_TRUE(elements[2].type == DPAID_INetPort);
            EXPECT_EQ(elements[2].data, *c.port);
        }
    }
}

TEST(SessionAddress, BadPortIsRefused)
{
    for (const char* text : {"host:", "host:abc", "host:70000", "host:-1", "a:1:2"}) {
        try {
            MakeTcpIpAddress(QString::fromUtf8(text));
            ADD_FAILURE() << "accepted " << text;
        } catch (const AppError& error) {
            EXPECT_TRUE(error.message().contains(QStringLiteral("not a valid port number")))
                << error.message().toStdString();
        }
    }
}

TEST(SessionAddress, IpxAndCompound)
{
    const auto ipx = Parse(MakeIpxAddress());
    ASSERT_EQ(ipx.size(), 1u);
    EXPECT_TRUE(ipx[0].type == DPAID_ServiceProvider);
    EXPECT_EQ(ipx[0].data, GuidData(DPSPGUID_IPX));

    // The lobby refusing the elements outright.
    try {
        MakeCompoundAddress(nullptr, 0);
        ADD_FAILURE() << "no elements accepted";
    } catch (const AppError& error) {
        EXPECT_EQ(error.message(), QStringLiteral("CreateCompoundAddress failed"));
    }
}

} // namespace
