// Every text the component writes into returnvar or appends to the smtp
// transcript, and the commands it sends, defined here and nowhere else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace verimex::texts {

inline constexpr std::string_view crlf = "\r\n";

// returnvar
inline constexpr std::string_view verified = "000";
inline constexpr std::string_view no_mail_server = "999 - could not find a mail server for the adress";
inline constexpr std::string_view could_not_connect = "ERROR: could not connect to mail server";
inline constexpr std::string_view invalid_email = "ERROR: invalid email address";
inline constexpr std::string_view invalid_from = "ERROR: invalid from name";
std::string timed_out(std::int16_t timeout);
// code is the OS error number of the failing call, printed as a signed
// 32-bit value so a Windows code with the top bit set reads negative.
std::string pipe_failed(std::int32_t code);
std::string start_failed(std::int32_t code);
std::string read_failed(std::int32_t code);

// smtp transcript lines; the command lines double as what is sent.
std::string telnet_line(std::string_view host);
std::string connect_error_line(std::string_view host);
std::string helo_line(std::string_view from);
std::string vrfy_line(std::string_view email);
std::string quit_line();

// The lookup command line, run through the lookup tool.
std::string lookup_command(std::string_view domain, std::string_view server);

}  // namespace verimex::texts
