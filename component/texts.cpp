#include "component/texts.h"

namespace verimex::texts {

namespace {

std::string join(std::string_view a, std::string_view b, std::string_view c = {})
{
    std::string s;
    s.reserve(a.size() + b.size() + c.size());
    s.append(a).append(b).append(c);
    return s;
}

}  // namespace

std::string timed_out(std::int16_t timeout)
{
    return "ERROR: timeout after " + std::to_string(timeout) + " seconds.";
}

std::string pipe_failed(std::int32_t code)
{
    return "ERROR: NSLOOKUP failed. CreatePipe failed. Error: " + std::to_string(code);
}

std::string start_failed(std::int32_t code)
{
    return "ERROR: NSLOOKUP failed. CreateProcess failed. Error: " + std::to_string(code);
}

std::string read_failed(std::int32_t code)
{
    return "ERROR: NSLOOKUP failed. Error: " + std::to_string(code);
}

std::string telnet_line(std::string_view host) { return join("telnet: ", host, crlf); }
std::string connect_error_line(std::string_view host) { return join("ERROR: could not connect to ", host, crlf); }
std::string helo_line(std::string_view from) { return join("helo ", from, crlf); }
std::string vrfy_line(std::string_view email) { return join("vrfy ", email, crlf); }
std::string quit_line() { return join("quit", crlf); }

std::string lookup_command(std::string_view domain, std::string_view server)
{
    // The blank before the server is there even when the server is empty.
    std::string s = join("nslookup -q=mx ", domain, " ");
    s.append(server);
    return s;
}

}  // namespace verimex::texts
