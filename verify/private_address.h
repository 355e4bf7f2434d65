// Which mail-exchanger addresses the engine will not connect to when asked
// to refuse private ones: an MX record is the domain owner's to write, and
// pointing it at loopback or an internal network would otherwise make the
// verifier probe its own side of the firewall.
#pragma once

#include <string_view>

namespace verimex::engine {

// True for a numeric IPv4 or IPv6 address that is loopback, unspecified,
// private (RFC 1918, RFC 4193), link-local, shared (CGNAT 100.64/10),
// multicast, documentation, benchmarking or reserved, including those
// forms written inside IPv6 (IPv4-mapped, IPv4-compatible, 6to4, NAT64);
// and for anything that is not a numeric address.
bool refused_mx_address(std::string_view address);

}  // namespace verimex::engine
