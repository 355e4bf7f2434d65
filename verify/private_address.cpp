// The refused address ranges (IANA's special-purpose registries, RFC 6890).
#include "verify/private_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace verimex::engine {

namespace {

struct v4_range {
    std::uint32_t net;
    int bits;
};

constexpr std::uint32_t v4(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

constexpr std::array<v4_range, 16> refused_v4{{
    {v4(0, 0, 0, 0), 8},        // "this network", the unspecified address
    {v4(10, 0, 0, 0), 8},       // RFC 1918
    {v4(100, 64, 0, 0), 10},    // shared address space (CGNAT), RFC 6598
    {v4(127, 0, 0, 0), 8},      // loopback
    {v4(169, 254, 0, 0), 16},   // link-local
    {v4(172, 16, 0, 0), 12},    // RFC 1918
    {v4(192, 0, 0, 0), 24},     // IETF protocol assignments
    {v4(192, 0, 2, 0), 24},     // TEST-NET-1
    {v4(192, 88, 99, 0), 24},   // 6to4 relay anycast (deprecated)
    {v4(192, 168, 0, 0), 16},   // RFC 1918
    {v4(198, 18, 0, 0), 15},    // benchmarking
    {v4(198, 51, 100, 0), 24},  // TEST-NET-2
    {v4(203, 0, 113, 0), 24},   // TEST-NET-3
    {v4(224, 0, 0, 0), 4},      // multicast
    {v4(240, 0, 0, 0), 4},      // reserved, and the broadcast address
    {v4(255, 255, 255, 255), 32},
}};

bool refused(std::uint32_t a)
{
    for (const v4_range& r : refused_v4) {
        const std::uint32_t mask = r.bits == 0 ? 0 : ~std::uint32_t{0} << (32 - r.bits);
        if ((a & mask) == r.net)
            return true;
    }
    return false;
}

std::uint32_t v4_at(const unsigned char* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool zeros(const unsigned char* p, int n)
{
    for (int i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

bool refused(const unsigned char (&a)[16])
{
    // ::/96 holds the unspecified address, loopback and the IPv4-compatible
    // forms, deprecated long ago (RFC 4291 2.5.5.1): nothing to connect to.
    if (zeros(a, 12))
        return true;
    // ::ffff:0:0/96, IPv4-mapped: judged by the IPv4 address inside.
    if (zeros(a, 10) && a[10] == 0xff && a[11] == 0xff)
        return refused(v4_at(a + 12));
    // NAT64 (64:ff9b::/96) and 6to4 (2002::/16) carry an IPv4 address too.
    static constexpr unsigned char nat64[12] = {0, 0x64, 0xff, 0x9b};
    if (std::equal(a, a + 12, nat64))
        return refused(v4_at(a + 12));
    if (a[0] == 0x20 && a[1] == 0x02)
        return refused(v4_at(a + 2));
    if ((a[0] & 0xfe) == 0xfc)  // unique local, RFC 4193
        return true;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)  // link-local
        return true;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0)  // site-local (deprecated)
        return true;
    if (a[0] == 0xff)  // multicast
        return true;
    if (a[0] == 0x20 && a[1] == 0x01 && a[2] == 0x0d && a[3] == 0xb8)  // documentation
        return true;
    if (a[0] == 0x01 && zeros(a + 1, 7))  // discard-only, 100::/64
        return true;
    return false;
}

}  // namespace

bool refused_mx_address(std::string_view address)
{
    const std::string text(address);
    unsigned char buf4[4];
    if (::inet_pton(AF_INET, text.c_str(), buf4) == 1)
        return refused(v4_at(buf4));
    unsigned char buf6[16];
    if (::inet_pton(AF_INET6, text.c_str(), buf6) == 1)
        return refused(buf6);
    return true;
}

}  // namespace verimex::engine
