#include "verify/texts.h"

namespace verimex::engine::texts {

std::string dns_failed(std::string_view detail)
{
    std::string s = "ERROR: DNS lookup failed";
    if (!detail.empty())
        s.append(": ").append(detail);
    return s;
}

std::string proxy_failed(int code, std::string_view detail)
{
    std::string s = "ERROR: proxy failed";
    if (code != 0)
        s += " (code " + std::to_string(code) + ")";
    if (!detail.empty())
        s.append(": ").append(detail);
    return s;
}

std::string ehlo_line(std::string_view name) { return "EHLO " + std::string(name) + "\r\n"; }
std::string helo_line(std::string_view name) { return "HELO " + std::string(name) + "\r\n"; }
std::string mail_line(std::string_view sender) { return "MAIL FROM:<" + std::string(sender) + ">\r\n"; }
std::string rcpt_line(std::string_view address) { return "RCPT TO:<" + std::string(address) + ">\r\n"; }

}  // namespace verimex::engine::texts
