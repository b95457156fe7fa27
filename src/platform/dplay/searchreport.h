#pragma once

#include "platform/dplay/sessiondirectory.h"
#include "platform/dplay/socketutil.h"

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <vector>

// What a search asked and what came back, so that a front end can say why it found nothing
// (or nothing free): whom the requests went to, which interfaces could not be asked, and
// every datagram that answered, Ferrowarden's or not.
struct SearchReport {
    // The senders of unexpected datagrams kept, at most.
    static constexpr std::size_t kMaxSenders = 8;

    struct Target {
        std::string interfaceName; // empty for a host named by the caller
        sockaddr_in address{};     // where the requests go
        int sendError = 0;         // errno of the latest request that could not go out, or 0
    };
    std::vector<Target> asked;
    // The requests sent since the search began (each one a round of asking).
    std::size_t requests = 0;
    // Interfaces that are up but have no broadcast address, so were not asked.
    std::vector<InterfaceAddress> withoutBroadcast;
    // Since the search began: every datagram that came back, and those of them that were
    // no discovery reply (another program, or another version of this one).
    std::size_t datagrams = 0;
    std::size_t notReplies = 0;
    std::vector<sockaddr_in> notReplySenders;
    // The sessions heard lately, of every application, full ones included.
    std::vector<SessionDirectory::Listing> heard;
};
