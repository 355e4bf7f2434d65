// The mail servers the benches play, and where they live: the addresses
// and domains of bench/bench.zones. Each is a scripted peer of
// tests/support on port 25 of its own loopback address.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/smtp_peer.h"

namespace verimex::bench {

inline constexpr const char* instant_address = "127.0.0.200";
inline constexpr const char* slow_address = "127.0.0.201";
inline constexpr const char* stream_address = "127.0.0.202";
inline constexpr const char* wan_address = "127.0.0.203";
inline constexpr int bulk_domains = 10;  // bulkN.bench.test on 127.0.0.21N

inline std::string bulk_address(int n)
{
    return "127.0.0.21" + std::to_string(n);
}

inline constexpr std::chrono::milliseconds slow_banner_delay{3000};

// A server that knows every address and answers each line at once, as a
// local mail server does. The banner waits `banner_after` (zero: at once).
inline test::Behaviour instant_server(std::chrono::milliseconds banner_after = {})
{
    return test::smtp_server({{"220 mx.bench.test ESMTP ready\r\n", banner_after}},
                             {{"helo", {{"250 mx.bench.test\r\n"}}},
                              {"vrfy", {{"250 2.0.0 <someone@bench.test>\r\n"}}}});
}

// Streams text without a line feed, 16 KiB at a time as fast as the client
// takes it, until the client leaves: a reply that never ends.
inline test::Behaviour endless_line()
{
    return test::stream_without_lf(16 * 1024, std::chrono::milliseconds(0), std::size_t{1} << 50);
}

// One instant server on each bulk address.
inline std::vector<std::unique_ptr<test::SmtpPeer>> bulk_peers()
{
    std::vector<std::unique_ptr<test::SmtpPeer>> peers;
    for (int n = 0; n < bulk_domains; ++n)
        peers.push_back(std::make_unique<test::SmtpPeer>(bulk_address(n), instant_server()));
    return peers;
}

}  // namespace verimex::bench
