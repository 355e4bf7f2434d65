// The mail-exchanger addresses refused under refuse_private_mx.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verify/private_address.h"

namespace verimex::engine {
namespace {

TEST(PrivateAddress, Table)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        // Public addresses are connected to.
        {"8.8.8.8", false}, {"93.184.216.34", false}, {"100.63.255.255", false}, {"100.128.0.0", false},
        {"172.15.255.255", false}, {"172.32.0.0", false}, {"192.169.0.1", false}, {"2a00:1450:4001::1", false},
        {"2001:4860:4860::8888", false}, {"::ffff:8.8.8.8", false}, {"2002:0808:0808::1", false},
        {"64:ff9b::808:808", false},
        // IPv4 ranges.
        {"0.0.0.0", true}, {"0.1.2.3", true}, {"10.0.0.1", true}, {"10.255.255.255", true}, {"100.64.0.1", true},
        {"100.127.255.255", true}, {"127.0.0.1", true}, {"127.255.0.9", true}, {"169.254.1.1", true},
        {"172.16.0.1", true}, {"172.31.255.255", true}, {"192.0.0.8", true}, {"192.0.2.1", true},
        {"192.168.1.1", true}, {"198.18.0.1", true}, {"198.19.255.255", true}, {"198.51.100.7", true},
        {"203.0.113.9", true}, {"224.0.0.1", true}, {"239.255.255.250", true}, {"240.0.0.1", true},
        {"255.255.255.255", true},
        // IPv6 ranges, and IPv4 written inside IPv6.
        {"::", true}, {"::1", true}, {"::127.0.0.1", true}, {"::ffff:127.0.0.1", true}, {"::ffff:10.1.2.3", true},
        {"::ffff:192.168.0.1", true}, {"fc00::1", true}, {"fd12:3456::1", true}, {"fe80::1", true},
        {"febf::1", true}, {"fec0::1", true}, {"ff02::1", true}, {"2001:db8::1", true}, {"100::1", true},
        {"2002:7f00:0001::1", true}, {"2002:c0a8:0101::1", true}, {"64:ff9b::10.0.0.1", true},
        // Not a numeric address at all.
        {"mx.example.test", true}, {"", true}, {"1.2.3", true}, {"[127.0.0.1]", true},
    };
    for (const auto& [address, refused] : cases)
        EXPECT_EQ(refused_mx_address(address), refused) << address;
}

}  // namespace
}  // namespace verimex::engine
