// The SMTP dialog of methods rcpt and auto: each mail exchanger of the
// domain in turn, until one decides.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <verimex/verify.h>

#include "verify/address.h"
#include "verify/net.h"

namespace verimex::engine {

// What the dialog reaches the world through: the seam of net.h, as an
// object so that tests can script it.
class network {
public:
    virtual ~network() = default;
    virtual mx_answer lookup_mx(std::string_view domain, deadline until) = 0;
    virtual host_answer lookup_host(std::string_view host, deadline until) = 0;
    virtual std::unique_ptr<smtp_stream> connect(const std::string& address, std::uint16_t port, deadline until,
                                                 connect_result& result) = 0;
};

struct dialog_settings {
    method how = method::automatic;  // rcpt or automatic
    std::string helo;
    std::string mail_from;           // empty: the null sender
    tls_mode tls = tls_mode::opportunistic;
    bool catch_all = true;
    bool refuse_private_mx = false;
    std::int16_t timeout = 120;      // seconds each wait may take, already read as the component does
    deadline total{};                // the end of the whole check
    unsigned total_seconds = 480;    // how far that was from its start
    const cancellation* cancel = nullptr;
    std::uint16_t port = 25;
};

// Runs the dialog for address and fills everything of the report that the
// servers decide: returnvar, transcript, method, verdict, reason, mx, code,
// enhanced, catch_all, tls, tls_version, cancelled.
void run_dialog(const mailbox& address, const dialog_settings& settings, network& net, report& out);

// A local part no one has: what the catch-all probe asks for.
std::string random_local_part();

}  // namespace verimex::engine
