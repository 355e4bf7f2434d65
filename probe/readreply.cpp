// The reply reader: collects one mail-server reply from the thread's socket,
// the wait for its first line bounded by the watchdog, its size by a cap.
#include "probe/readreply.h"

#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

namespace verimex {

namespace {

void keep(std::string& reply, const std::string& chunk)
{
    if (reply.size() < reply_limit)
        reply.append(chunk, 0, reply_limit - reply.size());
}

}  // namespace

std::optional<std::string> readreply(quoverimex& self)
{
    Form1& form = Form1::current();
    std::string chunk;
    std::string reply;
    // Only the latest piece is tested for the line feed, not the reply.
    while (chunk.find('\n') == std::string::npos) {
        if (self.checktime())
            return std::nullopt;
        // Sleeps until the socket has news or the next tick is due: a check
        // waiting for a slow server costs nothing meanwhile.
        form.wait();
        form.telnet->GetData(chunk);
        keep(reply, chunk);
    }
    // These turns never sleep: the rest of a reply is usually there already.
    for (int turn = 0; turn < reply_extra_turns; ++turn) {
        form.yield();
        form.telnet->GetData(chunk);
        keep(reply, chunk);
    }
    return reply;
}

}  // namespace verimex
