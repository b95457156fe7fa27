#include "net/searchfindings.h"

#include "net/sessionroles.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>

namespace {

sockaddr_in address(const char* ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

SessionDirectory::Listing session(const GUID& application, const char* name, DWORD current, const char* ip)
{
    SessionDirectory::Listing l;
    l.application = application;
    l.name = name;
    l.maxPlayers = 2;
    l.currentPlayers = current;
    l.address = address(ip, 40000);
    return l;
}

const GUID kOtherApplication = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

TEST(SearchFindings, BusySessionsAreThoseOfThisProgramWithNoPlaceLeft)
{
    SearchReport report;
    report.heard = {session(FerrowardenApplicationGuid, "Lab PC#/srv/in/", 2, "10.0.0.5"),
                    session(FerrowardenApplicationGuid, "Free#/srv/", 1, "10.0.0.6"),
                    session(kOtherApplication, "Game#x", 2, "10.0.0.7"),
                    session(FerrowardenApplicationGuid, "Line\nbreak#/d/", 2, "10.0.0.8")};
    const auto busy = BusySessions(report, FerrowardenApplicationGuid);
    ASSERT_EQ(busy.size(), 2u);
    EXPECT_EQ(busy[0].label, "Lab PC");
    EXPECT_EQ(busy[0].directory, "/srv/in/");
    EXPECT_EQ(busy[1].label, "Line\\x0Abreak") << "labels from the network are shown escaped";
}

TEST(SearchFindings, EmptySearchTellsWhomItAskedWhatCameBackAndWhatToCheck)
{
    const struct {
        const char* what;
        SearchReport report;
        QStringList lines;
    } rows[] = {
        {"broadcast, silence",
         [] {
             SearchReport r;
             r.asked = {{"eth0", address("192.168.1.255", 31847), 0}, {"lo", address("127.255.255.255", 31847), 0}};
             r.withoutBroadcast = {{"wg0", address("10.9.0.1", 0).sin_addr, 32, std::nullopt}};
             return r;
         }(),
         {"asked: 192.168.1.255 (eth0), 127.255.255.255 (lo) on UDP port 31847",
          "not asked: wg0 (10.9.0.1/32) has no broadcast address", "came back: nothing",
          "check: both PCs on the same network; the server's firewall letting in UDP port 31847 and TCP",
          "or name the server: --host HOST[:PORT]"}},
        {"one host, unreachable, strangers and another application answering",
         [] {
             SearchReport r;
             r.asked = {{"", address("10.1.2.3", 4000), ENETUNREACH}};
             r.datagrams = 4;
             r.notReplies = 3;
             r.notReplySenders = {address("10.1.2.9", 5353)};
             r.heard = {session(kOtherApplication, "Game#x", 1, "10.1.2.7")};
             return r;
         }(),
         {"asked: 10.1.2.3 on UDP port 4000", "could not send to 10.1.2.3: Network is unreachable",
          "came back: 3 datagrams from 10.1.2.9:5353 that are no Ferrowarden answer (another program, or "
          "another version of this one); 1 session of another application, from 10.1.2.7",
          "check: serve running on 10.1.2.3 with discovery port 4000 (HOST:PORT names another)",
          "and its firewall letting in UDP port 4000 and TCP"}},
    };
    for (const auto& row : rows) {
        const QStringList lines = EmptySearchLines(row.report, FerrowardenApplicationGuid);
        EXPECT_EQ(lines.join('\n').toStdString(), row.lines.join('\n').toStdString()) << row.what;
    }
}

} // namespace
