// What keeps a web page in someone's browser from using this server: a
// page elsewhere can make the browser send requests here (a form, a fetch
// without CORS), and a name of the attacker's that resolves to 127.0.0.1
// (DNS rebinding) even makes them same-origin for the browser. The Host
// field names that name, and the Origin field the page's own site, so
// both are checked before anything is done.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace verimex_server {

// The host of a Host field's value (or of an origin's authority): lower
// case, without the port, an IPv6 address without its brackets. Nothing
// when it is malformed.
std::optional<std::string> host_of(std::string_view authority);

// localhost, an address of 127.0.0.0/8 or ::1.
bool is_loopback(std::string_view host);

// An IPv4 or IPv6 address rather than a name.
bool is_address(std::string_view host);

class HostCheck {
public:
    // listen is the address the server listens on; allowed the names of
    // --allow-host.
    HostCheck(std::string listen, std::vector<std::string> allowed);

    // Whether a request with this Host field is meant for this server:
    // loopback names and addresses, the listen address, the names allowed.
    // A server listening on every address (0.0.0.0, ::) also takes any
    // address: an address, unlike a name, cannot be made to point here
    // by somebody else's DNS.
    bool allows(std::string_view host_field) const;

private:
    std::string listen_;
    bool every_address_;
    std::vector<std::string> allowed_;
};

// Whether an Origin field names the site of the request itself:
// http://HOST, the Host field's value, as a page served by this server
// sends it. "null" (a sandboxed page, a file) and any other site are not.
bool same_origin(std::string_view origin, std::string_view host_field);

// Whether a request comes from a web page rather than from curl or a
// script: browsers add Origin to every POST, and Sec-Fetch-Site with
// anything but "none" (typed in the address bar) to requests a page made.
bool from_a_page(std::string_view origin, std::string_view sec_fetch_site);

}  // namespace verimex_server
