// What the event pump costs the loops that call it without pause: the CPU
// a reply wait burns while a connected peer says nothing, and the time of
// the reply reader's 100 turns right after data arrived. The bench plays
// the peer itself on loopback; run it inside tests/netns/run. Prints
// Markdown tables (scripts/bench gathers them into BENCHMARKS.md).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "platform/posix/event_loop.h"
#include "platform/posix/fd.h"
#include "platform/socket.h"
#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using verimex::Form1;
using verimex::platform::posix::Loop;
using verimex::platform::posix::Fd;

std::chrono::nanoseconds thread_cpu()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Accepts one connection on 127.0.0.1 and hands it over.
struct Peer {
    Fd listener;
    int port = 0;

    Peer()
    {
        listener = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) < 0 ||
            ::listen(listener.get(), 1) < 0 ||
            ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) < 0)
            fail("listener");
        port = ntohs(address.sin_port);
    }
    Fd accept() const
    {
        Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd)
            fail("accept");
        return fd;
    }
};

// One turn of the reply reader's wait for the first line: ask the
// watchdog, yield, take what arrived.
bool wait_turn(verimex::quoverimex& q, Form1& form, std::string& chunk)
{
    q.checktime();
    form.yield();
    form.telnet->GetData(chunk);
    return !chunk.empty();
}

struct Silent {
    double share;  // CPU / wall
    double seconds;
    long turns;
};

Silent silent_peer(verimex::quoverimex& q, Form1& form, std::int16_t timeout, std::chrono::seconds length)
{
    form.startwatch(timeout);
    std::string chunk;
    long turns = 0;
    const auto cpu0 = thread_cpu();
    const auto wall0 = Clock::now();
    while (Clock::now() - wall0 < length) {
        wait_turn(q, form, chunk);
        ++turns;
    }
    const auto cpu = thread_cpu() - cpu0;
    const auto wall = Clock::now() - wall0;
    return {static_cast<double>(cpu.count()) / static_cast<double>(wall.count()),
            std::chrono::duration<double>(wall).count(), turns};
}

struct AfterData {
    verimex::bench::Samples wake_us, turns_us;
};

AfterData turns_after_data(verimex::quoverimex& q, Form1& form, int peer, int rounds)
{
    AfterData after;
    std::string chunk;
    for (int round = 0; round < rounds; ++round) {
        // Let the pump settle into its idle pauses first: a turn yields
        // twice, so this uses up the passes before the first pause and
        // then pauses 50 times (about a second).
        for (int i = 0; i < Loop::idle_passes_before_pause / 2 + 50; ++i)
            wait_turn(q, form, chunk);
        Clock::time_point sent_at;
        std::thread sender([&] {
            std::this_thread::sleep_for(20ms);
            sent_at = Clock::now();
            ::send(peer, "250 ok\r\n", 8, MSG_NOSIGNAL);
        });
        while (!wait_turn(q, form, chunk)) {
        }
        const auto arrived = Clock::now();
        sender.join();
        // The reader's 100 further turns.
        for (int turn = 0; turn < 100; ++turn) {
            form.yield();
            form.telnet->GetData(chunk);
        }
        const auto done = Clock::now();
        after.wake_us.add(std::chrono::duration<double, std::micro>(arrived - sent_at).count());
        after.turns_us.add(std::chrono::duration<double, std::micro>(done - arrived).count());
    }
    return after;
}

}  // namespace

int main()
{
    try {
        Peer peer;
        Form1& form = Form1::current();
        verimex::quoverimex q;
        form.telnet->RemoteHost("127.0.0.1");
        form.telnet->RemotePort(peer.port);
        form.telnet->Connect();
        std::string chunk;
        while (form.telnet->State() != verimex::platform::sckConnected) {
            if (form.telnet->State() == verimex::platform::sckError)
                fail("connect");
            form.yield();
        }
        Fd connection = peer.accept();

        using verimex::bench::fixed;
        using verimex::bench::Goal;
        using verimex::bench::target;
        verimex::bench::heading("2b. The event pump in a caller's own loop");
        verimex::bench::Table t({"what", "measured", "target", "result"});
        for (const std::int16_t timeout : {std::int16_t{120}, std::int16_t{1}}) {
            const Silent s = silent_peer(q, form, timeout, 3s);
            const std::string what = "CPU while yielding in a loop for 3 s, connected peer silent, watchdog period " +
                                     std::to_string(timeout * 100) + " ms";
            const std::string measured = fixed(100 * s.share, 3) + " % (" + std::to_string(s.turns) + " turns)";
            t.add({what, measured, "< 1 %",
                   target(what, fixed(100 * s.share, 3) + " %", "< 1 %", s.share < 0.01, Goal::yardstick)});
        }
        const AfterData after = turns_after_data(q, form, connection.get(), 20);
        t.add({"data noticed while the loop pauses (send to end of the wait; median, worst of 20)",
               fixed(after.wake_us.median(), 0) + " us, " + fixed(after.wake_us.max(), 0) + " us", "", ""});
        const double worst = after.turns_us.max();
        t.add({"100 yields right after data arrived (median, worst of 20)",
               fixed(after.turns_us.median(), 0) + " us, " + fixed(worst, 0) + " us", "< 1 ms",
               target("100 yields right after data arrived (worst of 20)", fixed(worst, 0) + " us", "< 1000 us",
                      worst < 1000, Goal::yardstick)});
        t.print();
        verimex::bench::note(
            "The reply reader's own loop, driven by hand on a connection to a peer in this process: "
            "`checktime`, yield, take the data, again and again. CPU is the thread's. After " +
            std::to_string(Loop::idle_passes_before_pause) +
            " passes that found nothing the pump pauses in `poll` (at most " +
            std::to_string(Loop::longest_pause.count()) +
            " ms, never past the next watchdog tick), which any news on the socket ends at once; the first "
            "row's turns include those before the first pause.");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pump_bench: %s\n", e.what());
        return 1;
    }
}
