// The probe dialog: connect, banner, helo, vrfy, verdict and quit with one
// mail exchanger, every step appended to the transcript.
#include "probe/dialog.h"

#include <optional>
#include <string>
#include <string_view>

#include "component/fields.h"
#include "component/texts.h"
#include "platform/socket.h"
#include "probe/readreply.h"
#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

namespace verimex {

namespace {

constexpr int smtp_port = 25;

void append(quoverimex& self, std::string_view text)
{
    detail::fields::smtp(self).append(text);
}

// A reply that is nothing (the wait timed out) adds no text.
void append_reply(quoverimex& self, const std::optional<std::string>& reply)
{
    if (reply)
        append(self, *reply);
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A reply line of class 4 or 5: "4xy" or "5xy", three digits and no fourth.
bool error_line(std::string_view line)
{
    return line.size() >= 3 && (line[0] == '4' || line[0] == '5') && is_digit(line[1]) && is_digit(line[2]) &&
           (line.size() == 3 || !is_digit(line[3]));
}

// The last whole reply in what a server sent, when it refuses (class 4 or
// 5): its last complete line together with the "NNN-" lines of the same
// reply before it, line ends included. A line the server never ended does
// not count: it is not a reply.
std::optional<std::string> last_error_reply(std::string_view received)
{
    const std::size_t end = received.rfind('\n');
    if (end == std::string_view::npos)
        return std::nullopt;
    auto line_start = [&](std::size_t line_end) {
        const std::size_t before = line_end == 0 ? std::string_view::npos : received.rfind('\n', line_end - 1);
        return before == std::string_view::npos ? 0 : before + 1;
    };
    std::size_t start = line_start(end);
    const std::string_view last = received.substr(start, end + 1 - start);
    if (!error_line(last))
        return std::nullopt;
    const std::string continuation = std::string(last.substr(0, 3)) + "-";
    while (start > 0) {
        const std::size_t previous = line_start(start - 1);
        if (!received.substr(previous).starts_with(continuation))
            break;
        start = previous;
    }
    return std::string(received.substr(start, end + 1 - start));
}

bool connecting(int state)
{
    return state > platform::sckClosed && state < platform::sckConnected;
}

void send_quit(platform::SocketControl& telnet)
{
    telnet.SendData(texts::quit_line());
    telnet.Close();
}

}  // namespace

ProbeOutcome probe(quoverimex& self, std::string_view host)
{
    Form1& form = Form1::current();
    platform::SocketControl& telnet = *form.telnet;

    telnet.RemoteHost(std::string(host));
    telnet.RemotePort(smtp_port);
    telnet.Connect();
    append(self, texts::telnet_line(host));

    while (connecting(telnet.State())) {
        // Left connecting on purpose: the next Connect starts it over.
        if (self.checktime())
            return ProbeOutcome::timed_out;
        // Sleeps until the connection or its lookup has news, or the next
        // tick is due.
        form.wait();
    }

    if (telnet.State() == platform::sckError) {
        self.returnvar(std::string(texts::could_not_connect));
        append(self, texts::connect_error_line(host));
        telnet.Close();
        return ProbeOutcome::connect_failed;
    }

    // Connected, or already closing: the banner and the reply to helo are
    // recorded, not judged. What the server says is also kept aside, in
    // case it hangs up before it answers vrfy.
    std::string received;
    auto read = [&] {
        Reply r = readreply(self);
        append_reply(self, r.text);
        if (r.text)
            received += *r.text;
        return r;
    };
    read();
    const std::string helo = texts::helo_line(self.from());
    telnet.SendData(helo);
    append(self, helo);
    read();
    const std::string vrfy = texts::vrfy_line(self.email());
    telnet.SendData(vrfy);
    append(self, vrfy);
    const Reply verdict = read();
    const std::optional<std::string>& reply = verdict.text;

    if (verdict.hung_up) {
        // The server went without answering vrfy: it refused us, usually
        // saying why in its last reply (a blocklist's 554 banner, a 421).
        // That is the result; the next mail exchanger may still answer.
        self.returnvar(last_error_reply(received).value_or(std::string(texts::could_not_connect)));
        send_quit(telnet);
        append(self, texts::quit_line());
        return ProbeOutcome::rejected;
    }
    if (!reply) {
        // The watchdog fired while waiting for the verdict: returnvar holds
        // its text. Still say goodbye and let go of the connection.
        send_quit(telnet);
        append(self, texts::quit_line());
        return ProbeOutcome::timed_out;
    }
    if (reply->starts_with("250")) {
        send_quit(telnet);
        self.returnvar(std::string(texts::verified));
        append(self, texts::quit_line());
        return ProbeOutcome::verified;
    }
    self.returnvar(*reply);
    send_quit(telnet);
    append(self, texts::quit_line());
    return ProbeOutcome::rejected;
}

}  // namespace verimex
