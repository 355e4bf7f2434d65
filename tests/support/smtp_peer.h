// Scripted mail servers for the end-to-end tests: a real TCP listener on an
// address of its own (127.0.0.x, port 25 unless told otherwise), one thread
// per accepted connection playing a behaviour. Only for the private network
// namespace of tests/netns/run, where the test is root and loopback is all
// there is. A host that refuses connections is simply an address with no
// peer on it.
//
//   SmtpPeer peer("127.0.0.21", smtp_server({{"220 mx ready\r\n"}},
//                                           {{"helo", {{"250 hi\r\n"}}},
//                                            {"vrfy", {{"250 ok\r\n"}}}}));
//
// A behaviour is any function of a PeerConnection, so a test can write its
// own (hostile servers, benchmarks). Every wait inside it (read_line, pause,
// send to a client that does not read) ends when the peer stops; the
// destructor stops the peer and joins every thread, so nothing outlives it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/fd.h"

namespace verimex::test {

class SmtpPeer;

// The peer's end of one accepted connection, handed to a behaviour.
class PeerConnection {
public:
    // Writes all of text, waiting while the client's window is full.
    // False when the client has gone or the peer is stopping.
    bool send(std::string_view text);
    // Waits for the given time; false when the peer is stopping.
    bool pause(std::chrono::milliseconds how_long);
    // The next line the client sent, with its line end; the text so far
    // when the client closes in the middle of a line; nullopt once the
    // client has closed (or reset) and nothing is left, or on stop.
    std::optional<std::string> read_line();
    // Waits until the client closes the connection or the peer stops,
    // taking (and recording) whatever lines still arrive.
    void wait_for_close();
    // Ends the connection with a reset (RST) instead of an orderly close,
    // as a crashing server or a middlebox would; nothing more can be sent
    // or read on it.
    void reset();
    bool stopping() const;
    // The connection's socket (non-blocking), for a behaviour that hands it
    // to another protocol layer, as a TLS server after STARTTLS. Lines
    // already read but not yet handed out stay in pending().
    int descriptor() const { return fd_.get(); }
    const std::string& pending() const { return pending_; }

private:
    friend class SmtpPeer;
    PeerConnection(SmtpPeer& peer, platform::posix::Fd fd) : peer_(peer), fd_(std::move(fd)) {}
    // Waits for events on the connection or the stop signal; false on stop.
    bool wait(short events, int timeout_ms);

    SmtpPeer& peer_;
    platform::posix::Fd fd_;
    std::string pending_;  // received, not yet handed out as a line
    bool eof_ = false;
};

using Behaviour = std::function<void(PeerConnection&)>;

class SmtpPeer {
public:
    SmtpPeer(std::string address, Behaviour behaviour, int port = 25)
        : address_(std::move(address)), behaviour_(std::move(behaviour))
    {
        wake_ = platform::posix::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_)
            throw std::system_error(errno, std::generic_category(), "eventfd");
        listener_ = platform::posix::Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_)
            throw std::system_error(errno, std::generic_category(), "socket");
        const int on = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1)
            throw std::invalid_argument("SmtpPeer: not an IPv4 address: " + address_);
        // Listening before the constructor returns: a client may connect at
        // once, the backlog holds it until the acceptor gets there. A
        // backlog for a hundred clients at once (the server bench's): a full
        // one drops connections, which wait a second or more to retry.
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
            throw std::system_error(errno, std::generic_category(), "bind " + address_);
        if (::listen(listener_.get(), 128) != 0)
            throw std::system_error(errno, std::generic_category(), "listen " + address_);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    SmtpPeer(const SmtpPeer&) = delete;
    SmtpPeer& operator=(const SmtpPeer&) = delete;
    ~SmtpPeer() { stop(); }

    // Ends every wait of every connection, closes them and the listener,
    // and joins all threads. Safe to call more than once.
    void stop()
    {
        if (stopping_.exchange(true))
            return;
        const std::uint64_t one = 1;
        // The counter stays non-zero, so every poll that includes it wakes.
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
        if (acceptor_.joinable())
            acceptor_.join();
        for (std::thread& t : connections_)
            if (t.joinable())
                t.join();
        listener_.reset();
    }

    const std::string& address() const { return address_; }
    int connections() const { return accepted_.load(); }
    std::size_t bytes_sent() const { return bytes_sent_.load(); }
    std::size_t bytes_received() const { return bytes_received_.load(); }
    // Every line received so far, over all connections, in arrival order,
    // each with its line end.
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The address each accepted connection came from, in accept order
    // ("127.0.0.2"): shows who the server saw, a proxy or the client.
    std::vector<std::string> clients() const
    {
        std::lock_guard lock(mutex_);
        return clients_;
    }
    // What a behaviour threw, if anything: it is caught so the process
    // does not end, and a test can show it.
    std::string error() const
    {
        std::lock_guard lock(mutex_);
        return error_;
    }

private:
    friend class PeerConnection;

    void accept_loop()
    {
        while (!stopping_.load()) {
            pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                record_error(std::string("poll: ") + std::strerror(errno));
                return;
            }
            if (fds[1].revents)
                return;
            sockaddr_in from{};
            socklen_t from_size = sizeof from;
            platform::posix::Fd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&from), &from_size,
                                             SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd)
                continue;
            char text[INET_ADDRSTRLEN] = "";
            ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            {
                std::lock_guard lock(mutex_);
                clients_.emplace_back(text);
            }
            ++accepted_;
            connections_.emplace_back([this, conn = std::move(fd)]() mutable {
                PeerConnection c(*this, std::move(conn));
                try {
                    behaviour_(c);
                } catch (const std::exception& e) {
                    record_error(e.what());
                }
            });
        }
    }

    void record_line(std::string line)
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    void record_error(std::string what)
    {
        std::lock_guard lock(mutex_);
        if (error_.empty())
            error_ = std::move(what);
    }

    std::string address_;
    Behaviour behaviour_;
    platform::posix::Fd wake_;
    platform::posix::Fd listener_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<std::size_t> bytes_sent_{0};
    std::atomic<std::size_t> bytes_received_{0};
    std::thread acceptor_;
    std::vector<std::thread> connections_;  // touched by the acceptor, then by stop()
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> clients_;
    std::string error_;
};

inline bool PeerConnection::stopping() const { return peer_.stopping_.load(); }

inline bool PeerConnection::wait(short events, int timeout_ms)
{
    for (;;) {
        pollfd fds[2] = {{fd_.get(), events, 0}, {peer_.wake_.get(), POLLIN, 0}};
        const int n = ::poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        return n >= 0 && fds[1].revents == 0;
    }
}

inline bool PeerConnection::send(std::string_view text)
{
    while (!text.empty()) {
        if (stopping())
            return false;
        const ssize_t n = ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
        if (n > 0) {
            peer_.bytes_sent_ += static_cast<std::size_t>(n);
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait(POLLOUT, -1))
                return false;
            continue;
        }
        return false;  // the client has gone
    }
    return true;
}

inline bool PeerConnection::pause(std::chrono::milliseconds how_long)
{
    const auto until = std::chrono::steady_clock::now() + how_long;
    for (;;) {
        if (stopping())
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        // Only the stop signal is of interest here, not the connection.
        pollfd wake{peer_.wake_.get(), POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(left.count())) > 0)
            return false;
    }
}

inline std::optional<std::string> PeerConnection::read_line()
{
    for (;;) {
        const std::size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            peer_.record_line(line);
            return line;
        }
        if (eof_) {
            if (pending_.empty())
                return std::nullopt;
            std::string rest = std::exchange(pending_, std::string());
            peer_.record_line(rest);
            return rest;
        }
        if (stopping() || !wait(POLLIN, -1))
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            peer_.bytes_received_ += static_cast<std::size_t>(n);
            pending_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            eof_ = true;
        }
    }
}

inline void PeerConnection::wait_for_close()
{
    while (read_line()) {
    }
}

inline void PeerConnection::reset()
{
    // A zero linger time makes close() send RST and drop what is queued.
    const linger abort_on_close{1, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    fd_.reset();
    pending_.clear();
    eof_ = true;
}

// ---- ready-made behaviours ----------------------------------------------

// A piece of text sent after waiting `after`.
struct Piece {
    std::string text;
    std::chrono::milliseconds after{0};
};
using Pieces = std::vector<Piece>;

inline bool send_pieces(PeerConnection& c, const Pieces& pieces)
{
    for (const Piece& p : pieces)
        if (!c.pause(p.after) || !c.send(p.text))
            return false;
    return true;
}

// The first word of a command line, lower-cased: "VRFY x\r\n" -> "vrfy".
inline std::string verb_of(std::string_view line)
{
    std::string verb;
    for (char ch : line) {
        if (ch == ' ' || ch == '\r' || ch == '\n')
            break;
        verb += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
    return verb;
}

// A mail server: sends the banner, then answers each line by its verb from
// replies (otherwise for an unknown verb). After answering "quit" it closes,
// as real servers do (with "221 2.0.0 Bye" unless replies says otherwise);
// it also closes when the client does.
inline Behaviour smtp_server(Pieces banner, std::map<std::string, Pieces> replies,
                             Pieces otherwise = {{"502 5.5.2 Error: command not recognized\r\n"}})
{
    replies.try_emplace("quit", Pieces{{"221 2.0.0 Bye\r\n"}});
    return [banner = std::move(banner), replies = std::move(replies),
            otherwise = std::move(otherwise)](PeerConnection& c) {
        if (!send_pieces(c, banner))
            return;
        while (std::optional<std::string> line = c.read_line()) {
            const std::string verb = verb_of(*line);
            const auto it = replies.find(verb);
            if (!send_pieces(c, it != replies.end() ? it->second : otherwise))
                return;
            if (verb == "quit")
                return;
        }
    };
}

// Accepts and never says a word; reads (and records) what the client sends
// until it leaves.
inline Behaviour silent()
{
    return [](PeerConnection& c) { c.wait_for_close(); };
}

// Streams `piece_bytes` of text without a line feed again and again, as fast
// as the client takes it (waiting `gap` between pieces), until it has sent
// max_bytes, the client leaves or the peer stops; then optionally ends the
// line and goes on as `then`.
inline Behaviour stream_without_lf(std::size_t piece_bytes, std::chrono::milliseconds gap,
                                   std::size_t max_bytes, Behaviour then = {})
{
    return [=](PeerConnection& c) {
        const std::string piece(piece_bytes, 'x');
        for (std::size_t sent = 0; sent < max_bytes; sent += piece.size())
            if (!c.pause(gap) || !c.send(piece))
                return;
        if (then)
            then(c);
        else
            c.wait_for_close();
    };
}

// Accepts and closes at once, without a banner.
inline Behaviour close_at_once()
{
    return [](PeerConnection&) {};
}

}  // namespace verimex::test
