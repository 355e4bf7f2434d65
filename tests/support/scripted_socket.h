// Test doubles for the host window's platform seams: a clock that moves only
// when told, a socket control that plays a script instead of talking to the
// network, and a guard that puts a window built on both in place for the
// calling thread. For unit tests of the reply reader, the probe dialog and
// anything else that reaches the socket through Form1.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "support/fake_clock.h"
#include "platform/socket.h"
#include "watchdog/form1.h"

namespace verimex::test {

// A socket control whose peer is a script.
//
// - State(): before Connect() and after Close() it reports sckClosed; after
//   Connect() it reports connect_states one per call, the last one for ever.
// - GetData(): every call takes the next entry of incoming (one entry, one
//   receive), or an empty text once the script is used up.
// - SendData(): the text is recorded; on_send may answer it by queueing
//   entries on incoming, as a server would.
// - before(op): runs at the start of every operation; the place to move a
//   fake clock, raise the watchdog flag, or throw to inject a failure.
class ScriptedSocket final : public platform::SocketControl {
public:
    enum class Op { RemoteHost, RemotePort, Connect, State, SendData, GetData, Close };

    std::deque<int> connect_states{platform::sckConnected};
    std::deque<std::string> incoming;
    std::function<void(std::string_view sent)> on_send;
    std::function<void(Op)> before;

    // The calls that change something, in order, as readable lines:
    // "RemoteHost mx", "RemotePort 25", "Connect", "SendData helo x\r\n",
    // "Close". State() and GetData() are only counted.
    std::vector<std::string> calls;
    int state_reads = 0;
    int receives = 0;

    void RemoteHost(std::string host) override
    {
        hook(Op::RemoteHost);
        calls.push_back("RemoteHost " + host);
    }
    void RemotePort(int port) override
    {
        hook(Op::RemotePort);
        calls.push_back("RemotePort " + std::to_string(port));
    }
    void Connect() override
    {
        hook(Op::Connect);
        calls.emplace_back("Connect");
        connected_ = true;
    }
    int State() override
    {
        hook(Op::State);
        ++state_reads;
        if (!connected_)
            return platform::sckClosed;
        const int state = connect_states.front();
        if (connect_states.size() > 1)
            connect_states.pop_front();
        return state;
    }
    void SendData(std::string_view data) override
    {
        hook(Op::SendData);
        calls.push_back("SendData " + std::string(data));
        if (on_send)
            on_send(data);
    }
    void GetData(std::string& data) override
    {
        hook(Op::GetData);
        ++receives;
        data.clear();
        if (!incoming.empty()) {
            data = std::move(incoming.front());
            incoming.pop_front();
        }
    }
    void Close() override
    {
        hook(Op::Close);
        calls.emplace_back("Close");
        connected_ = false;
    }

    // Queues n receives that find nothing.
    void silence(int n) { incoming.insert(incoming.end(), static_cast<std::size_t>(n), std::string()); }

    // Plays a server that answers each text sent by its first word ("helo",
    // "vrfy", "quit"); the answer arrives at the next receive. A word not in
    // replies gets no answer.
    void answer_by_verb(std::map<std::string, std::string> replies)
    {
        on_send = [this, replies = std::move(replies)](std::string_view sent) {
            const auto it = replies.find(std::string(sent.substr(0, sent.find_first_of(" \r\n"))));
            if (it != replies.end())
                incoming.push_back(it->second);
        };
    }

private:
    void hook(Op op)
    {
        if (before)
            before(op);
    }

    bool connected_ = false;
};

// Puts a host window with a FakeClock and a ScriptedSocket in place for the
// calling thread, and the previous window back when it goes out of scope.
// The window keeps its real event loop and timer, driven by the fake clock:
// the watchdog only fires when a test moves the clock.
class ScriptedWindow {
public:
    ScriptedWindow()
    {
        auto window = std::make_unique<Form1>(clock);
        auto scripted = std::make_unique<ScriptedSocket>();
        socket = scripted.get();
        window->telnet = std::move(scripted);
        previous_ = Form1::replace(std::move(window));
    }
    ScriptedWindow(const ScriptedWindow&) = delete;
    ScriptedWindow& operator=(const ScriptedWindow&) = delete;
    ~ScriptedWindow() { Form1::replace(std::move(previous_)); }

    Form1& form() { return Form1::current(); }

    // Moves the clock on by `by` at the start of every `op` on the socket:
    // time passes only while the logic keeps polling.
    void advance_on(ScriptedSocket::Op op, std::chrono::milliseconds by)
    {
        socket->before = [this, op, by](ScriptedSocket::Op o) {
            if (o == op)
                clock.advance(by);
        };
    }

    // Declared first: the window that reads it goes before it does.
    FakeClock clock;
    ScriptedSocket* socket = nullptr;

private:
    std::unique_ptr<Form1> previous_;
};

}  // namespace verimex::test
