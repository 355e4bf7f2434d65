// Fuzz target: the reply reader, and the whole probe dialog around it, fed
// by a scripted socket whatever a server might send, in whatever pieces,
// with time on a fake clock so no input waits for real. Every read must end
// (by a line feed or by the watchdog), keep at most the reply limit, and
// return exactly what came; the dialog must end in an outcome that agrees
// with what it read.
//
// Input, laid out so seeds can be written by hand:
//   byte 0   the timeout in seconds: 1 + the byte (a period is timeout x 100 ms)
//   byte 1   how far the clock moves at every receive and every state read:
//            (1 + the byte) / 64 of a period
//   byte 2   bit 0 clear: three reads in a row, as the dialog makes them;
//            bit 0 set: the probe dialog, whose connect reports "connecting"
//            for (bits 1-3) state reads, then the state (bits 4-7) mod 10
//   rest     what the receives return, in order, pieces separated by 0x1E
//            (an empty piece is a receive that finds nothing); a piece that
//            starts with 0x1F N C stands for N x 1024 copies of byte C, as
//            long as all pieces together stay within 1 MiB
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/texts.h"
#include "fuzz_target.h"
#include "platform/socket.h"
#include "probe/dialog.h"
#include "probe/readreply.h"
#include "support/scripted_socket.h"
#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

namespace {

using namespace verimex;
using test::FakeClock;
using test::ScriptedSocket;

constexpr char separator = '\x1e';
constexpr char repeat = '\x1f';
constexpr const char* host = "mx.fuzz.test";
// Room for many times the reply limit, and small enough to keep every input
// quick.
constexpr std::size_t script_budget = std::size_t{1} << 20;

struct Script {
    std::int16_t timeout = 1;
    unsigned step_64ths = 1;  // clock step, in 64ths of a period
    bool dialog = false;
    std::deque<int> connect_states;
    std::vector<std::string> pieces;
};

Script parse(std::string_view in)
{
    Script s;
    if (in.size() < 3)
        return s;
    s.timeout = static_cast<std::int16_t>(1 + static_cast<unsigned char>(in[0]));
    s.step_64ths = 1u + static_cast<unsigned char>(in[1]);
    const auto mode = static_cast<unsigned char>(in[2]);
    s.dialog = (mode & 1) != 0;
    s.connect_states.assign((mode >> 1) & 7, platform::sckConnecting);
    s.connect_states.push_back((mode >> 4) % 10);
    in.remove_prefix(3);
    std::size_t total = in.size();
    for (;;) {
        const std::size_t end = in.find(separator);
        std::string piece(in.substr(0, end));
        if (piece.size() >= 3 && piece[0] == repeat) {
            const std::size_t wanted = std::size_t{static_cast<unsigned char>(piece[1])} * 1024;
            const std::size_t copies = std::min(wanted, script_budget - std::min(total, script_budget));
            total += copies;
            piece.assign(copies, piece[2]);
        }
        s.pieces.push_back(std::move(piece));
        if (end == std::string_view::npos)
            break;
        in.remove_prefix(end + 1);
    }
    return s;
}

// The thread's window on a fake clock with a scripted socket, for one input.
class Window {
public:
    explicit Window(const Script& s) : script_(s)
    {
        auto window = std::make_unique<Form1>(clock_);
        // NOTE: the event loop pauses (really sleeping, up to 10 ms) once a
        // few hundred passes found nothing to do, as it should in real use;
        // here the fake clock stands still meanwhile, so that would only
        // waste the fuzzer's time. The window's own TCP socket, kept aside,
        // tells the loop at every Close() that work is coming, which keeps
        // it from pausing; closing a closed socket does nothing else.
        own_socket_ = std::move(window->telnet);
        auto scripted = std::make_unique<ScriptedSocket>();
        socket_ = scripted.get();
        window->telnet = std::move(scripted);
        previous_ = Form1::replace(std::move(window));

        socket_->connect_states = s.connect_states;
        socket_->incoming.assign(s.pieces.begin(), s.pieces.end());
        socket_->before = [this](ScriptedSocket::Op op) {
            if (op == ScriptedSocket::Op::GetData || op == ScriptedSocket::Op::State)
                clock_.advance(step());
            own_socket_->Close();
        };
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window() { Form1::replace(std::move(previous_)); }

    ScriptedSocket& socket() { return *socket_; }

    // What the n-th receive of the input returned.
    std::string_view piece(int n) const
    {
        const auto i = static_cast<std::size_t>(n);
        return i < script_.pieces.size() ? std::string_view(script_.pieces[i]) : std::string_view();
    }

    // How far the clock moves at every receive and state read.
    std::chrono::milliseconds step() const
    {
        return std::chrono::milliseconds(std::max<std::int64_t>(1, period_ms() * script_.step_64ths / 64));
    }

    // The most receives one read can make: the wait for the line feed ends
    // once the clock has passed eleven periods (the watchdog's eleventh
    // tick), then come the further receives.
    int most_receives() const
    {
        const std::int64_t waiting = (11 * period_ms() + step().count() - 1) / step().count() + 2;
        return static_cast<int>(waiting) + reply_extra_turns;
    }

private:
    std::int64_t period_ms() const { return std::int64_t{script_.timeout} * 100; }

    const Script& script_;
    FakeClock clock_;
    std::unique_ptr<platform::SocketControl> own_socket_;
    ScriptedSocket* socket_ = nullptr;
    std::unique_ptr<Form1> previous_;
};

// One read, checked against the pieces it took.
std::optional<std::string> checked_read(quoverimex& self, Window& w)
{
    const int first = w.socket().receives;
    const Reply read = readreply(self);
    const std::optional<std::string>& reply = read.text;
    const int last = w.socket().receives;
    // No connection was made: only a line feed or the watchdog ends these.
    FUZZ_CHECK(!read.hung_up);
    FUZZ_CHECK(last - first <= w.most_receives());

    if (!reply) {
        // Only the watchdog ends a read without a reply, and it says so.
        FUZZ_CHECK(Form1::current().timer);
        FUZZ_CHECK(self.returnvar() == texts::timed_out(self.timeout()));
        return reply;
    }
    // The line feed came in the piece before the further receives, and in
    // none before it; the reply is everything taken, up to the limit.
    FUZZ_CHECK(last - first >= 1 + reply_extra_turns);
    const int lf_piece = last - 1 - reply_extra_turns;
    std::string taken;
    for (int n = first; n < last; ++n) {
        const bool has_lf = w.piece(n).find('\n') != std::string_view::npos;
        FUZZ_CHECK(n > lf_piece || has_lf == (n == lf_piece));
        taken.append(w.piece(n));
    }
    FUZZ_CHECK(reply->size() <= reply_limit);
    FUZZ_CHECK(*reply == taken.substr(0, reply_limit));
    return reply;
}

void three_reads(quoverimex& self, Window& w)
{
    bool timed_out = false;
    for (int i = 0; i < 3; ++i) {
        const int before = w.socket().receives;
        const std::optional<std::string> reply = checked_read(self, w);
        // Once the watchdog has fired, every later read gives up at once.
        if (timed_out)
            FUZZ_CHECK(!reply && w.socket().receives == before);
        timed_out = timed_out || !reply;
    }
}

void whole_dialog(quoverimex& self, Window& w)
{
    // What the server said before the verify command, as the dialog read
    // it (the transcript less our own lines): a refusal is looked for there.
    std::string at_helo;
    std::string heard;
    w.socket().on_send = [&](std::string_view data) {
        if (data.starts_with("helo "))
            at_helo = self.smtp();
        else if (data.starts_with("vrfy "))
            heard = at_helo.substr(texts::telnet_line(host).size()) +
                    self.smtp().substr(at_helo.size() + texts::helo_line(self.from()).size());
    };
    const ProbeOutcome outcome = probe(self, host);
    const std::string& smtp = self.smtp();
    FUZZ_CHECK(smtp.starts_with(texts::telnet_line(host)));
    const std::vector<std::string>& calls = w.socket().calls;
    FUZZ_CHECK(calls.size() >= 3 && calls[0] == std::string("RemoteHost ") + host && calls[1] == "RemotePort 25" &&
               calls[2] == "Connect");
    switch (outcome) {
    case ProbeOutcome::verified:
        FUZZ_CHECK(self.returnvar() == texts::verified);
        // The verify reply follows its command in the transcript.
        FUZZ_CHECK(smtp.find(texts::vrfy_line(self.email()) + "250") != std::string::npos);
        FUZZ_CHECK(smtp.ends_with(texts::quit_line()));
        FUZZ_CHECK(calls.back() == "Close");
        break;
    case ProbeOutcome::timed_out:
        FUZZ_CHECK(self.returnvar() == texts::timed_out(self.timeout()));
        break;
    case ProbeOutcome::connect_failed:
        FUZZ_CHECK(self.returnvar() == texts::could_not_connect);
        FUZZ_CHECK(smtp == texts::telnet_line(host) + texts::connect_error_line(host));
        FUZZ_CHECK(calls.back() == "Close");
        break;
    case ProbeOutcome::rejected: {
        FUZZ_CHECK(!self.returnvar().starts_with("250"));
        FUZZ_CHECK(calls.back() == "Close");
        const std::string vrfy = texts::vrfy_line(self.email());
        // The verify reply itself, which is never a 250 one, or the server
        // hung up before it: a refusal said before vrfy (whole lines, class
        // 4 or 5), or none.
        if (smtp.ends_with(vrfy + self.returnvar() + texts::quit_line()))
            break;
        FUZZ_CHECK(w.socket().connect_states.back() == platform::sckClosing ||
                   w.socket().connect_states.back() == platform::sckError);
        if (self.returnvar() == texts::could_not_connect)
            break;
        const std::string& refusal = self.returnvar();
        FUZZ_CHECK(refusal.ends_with('\n') && (refusal[0] == '4' || refusal[0] == '5'));
        // Its last line came before vrfy (earlier lines maybe in an earlier reply).
        const std::size_t cut = refusal.rfind('\n', refusal.size() - 2);
        const std::string last_line = cut == std::string::npos ? refusal : refusal.substr(cut + 1);
        FUZZ_CHECK(heard.find(last_line) != std::string::npos);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Script script = parse(std::string_view(reinterpret_cast<const char*>(data), size));
    Window window(script);
    quoverimex self;
    self.timeout(script.timeout);
    Form1::current().startwatch(script.timeout);
    if (script.dialog)
        whole_dialog(self, window);
    else
        three_reads(self, window);
    return 0;
}
