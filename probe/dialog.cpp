// The probe dialog: connect, banner, helo, vrfy, verdict and quit with one
// mail exchanger, every step appended to the transcript.
#include "probe/dialog.h"

#include <optional>
#include <string>

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
    // recorded, not judged.
    append_reply(self, readreply(self));
    const std::string helo = texts::helo_line(self.from());
    telnet.SendData(helo);
    append(self, helo);
    append_reply(self, readreply(self));
    const std::string vrfy = texts::vrfy_line(self.email());
    telnet.SendData(vrfy);
    append(self, vrfy);
    const std::optional<std::string> reply = readreply(self);
    append_reply(self, reply);

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
