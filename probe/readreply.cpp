// The reply reader: collects one mail-server reply from the thread's socket,
// the wait for its first line bounded by the watchdog, its size by a cap,
// and both cut short when the peer has gone.
#include "probe/readreply.h"

#include "platform/socket.h"
#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

namespace verimex {

namespace {

void keep(std::string& reply, const std::string& chunk)
{
    if (reply.size() < reply_limit)
        reply.append(chunk, 0, reply_limit - reply.size());
}

// Whether the peer has closed or reset the connection. The socket keeps
// what arrived before either readable, so once this holds, one more receive
// takes the last of it.
bool peer_gone(platform::SocketControl& telnet)
{
    const int state = telnet.State();
    return state == platform::sckClosing || state == platform::sckError;
}

}  // namespace

Reply readreply(quoverimex& self)
{
    Form1& form = Form1::current();
    platform::SocketControl& telnet = *form.telnet;
    std::string chunk;
    std::string reply;
    // A peer that has gone has no news to come: nothing to wait for.
    bool gone = peer_gone(telnet);
    // Only the latest piece is tested for the line feed, not the reply.
    while (chunk.find('\n') == std::string::npos) {
        if (self.checktime())
            return {};
        // Sleeps until the socket has news or the next tick is due: a check
        // waiting for a slow server costs nothing meanwhile.
        if (!gone)
            form.wait();
        // The state is read before the receive: what the peer sent before
        // it went is then all in this receive, and a line feed that can no
        // longer come is not waited for.
        gone = peer_gone(telnet);
        telnet.GetData(chunk);
        keep(reply, chunk);
        if (gone && chunk.find('\n') == std::string::npos)
            return {std::move(reply), true};
    }
    // These turns never sleep: the rest of a reply is usually there already.
    for (int turn = 0; turn < reply_extra_turns && !gone; ++turn) {
        form.yield();
        gone = peer_gone(telnet);
        telnet.GetData(chunk);
        keep(reply, chunk);
    }
    return {std::move(reply), false};
}

}  // namespace verimex
