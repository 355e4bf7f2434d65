// The engine's own returnvar texts, for outcomes the component has no text
// for. The component's texts (component/texts.h) are used wherever the
// component has one for the same case, and the commands are sent as
// written here.
#pragma once

#include <string>
#include <string_view>

namespace verimex::engine::texts {

// The domain's lookup failed (SERVFAIL, no answer after the retries); the
// detail is the resolver's words.
std::string dns_failed(std::string_view detail);
// The SOCKS5 proxy refused or failed; code is what connect_result's
// error_code holds for it (the proxy's reply byte, or errno when the proxy
// could not be reached), 0 for none. Never holds the proxy's password.
std::string proxy_failed(int code, std::string_view detail);
// TLS was required and no mail exchanger offered it, or its handshake
// failed, without a server reply to show for it.
inline constexpr std::string_view tls_unavailable = "ERROR: STARTTLS required but not available";
// A stop request ended the check.
inline constexpr std::string_view cancelled = "ERROR: check cancelled";
// options that cannot go on the wire.
inline constexpr std::string_view invalid_mail_from = "ERROR: invalid mail-from address";
inline constexpr std::string_view invalid_proxy = "ERROR: invalid proxy URL";

// Commands, with their CR LF.
std::string ehlo_line(std::string_view name);
std::string helo_line(std::string_view name);
inline constexpr std::string_view starttls_line = "STARTTLS\r\n";
std::string mail_line(std::string_view sender);  // MAIL FROM:<sender>
std::string rcpt_line(std::string_view address); // RCPT TO:<address>
inline constexpr std::string_view rset_line = "RSET\r\n";
inline constexpr std::string_view quit_line = "QUIT\r\n";

}  // namespace verimex::engine::texts
