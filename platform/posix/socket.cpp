// The TCP client behind the socket control: resolve (c-ares), connect to
// each address in turn without blocking, then move bytes between the
// descriptor and two buffers whenever the loop passes by.
//
// Only failures of our own side raise (a socket that cannot be made); what
// the network or the peer does shows in the state: refused, unreachable or
// unresolvable ends in sckError, the peer's orderly close in sckClosing, a
// reset in sckError, and data received before either stays readable.
#include "platform/posix/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/posix/event_loop.h"
#include "platform/posix/fd.h"
#include "platform/posix/resolver.h"
#include "platform/socket_core.h"

namespace verimex::platform::posix {

namespace {

std::optional<Address> numeric_address(const std::string& host)
{
    Address address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        address.length = sizeof(sockaddr_in);
        return address;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        address.length = sizeof(sockaddr_in6);
        return address;
    }
    return std::nullopt;
}

void set_port(Address& address, int port)
{
    const auto net_port = htons(static_cast<std::uint16_t>(port));
    if (address.storage.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = net_port;
    else
        reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = net_port;
}

[[noreturn]] void raise_errno(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

const pollfd* find(std::span<const pollfd> polled, int fd)
{
    for (const pollfd& p : polled)
        if (p.fd == fd)
            return &p;
    return nullptr;
}

class TcpSocket final : public SocketCore, public Source {
public:
    explicit TcpSocket(Loop& loop) : loop_(&loop) { loop.add(*this); }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    ~TcpSocket() override
    {
        if (loop_)
            loop_->remove(*this);
    }

    // ---- SocketControl ----

    void Connect() override
    {
        // Whatever an earlier Connect left (still resolving or connecting
        // after a timed-out wait, or open) is dropped: this one starts clean.
        reset();
        wake();
        if (!nameable_host(host_)) {
            state_ = sckError;
            return;
        }
        if (std::optional<Address> address = numeric_address(host_)) {
            addresses_.push_back(*address);
            state_ = sckHostResolved;
            try_next_address();
            return;
        }
        // Should the resolver fail to start (a failure of ours, raised),
        // the attempt is over: not left resolving for ever.
        state_ = sckError;
        if (!resolver_)
            resolver_ = std::make_unique<Resolver>();
        resolver_->start(host_);
        state_ = sckResolvingHost;
        // A name c-ares can answer at once (a bad name) is done already.
        take_resolution();
    }

    void Close() override
    {
        reset();
        state_ = sckClosed;
        wake();
    }

    // ---- Source ----

    void collect(std::vector<pollfd>& fds) override
    {
        switch (state_) {
        case sckResolvingHost:
            resolver_->collect(fds);
            break;
        case sckConnecting:
            fds.push_back(pollfd{fd_.get(), POLLOUT, 0});
            break;
        case sckConnected: {
            short events = 0;
            if (room_to_read())
                events |= POLLIN;
            if (!outbox_.empty())
                events |= POLLOUT;
            // With neither (the caller has not taken a full buffer), the
            // descriptor is left out: polling it would only report errors,
            // and those wait until reading resumes.
            if (events)
                fds.push_back(pollfd{fd_.get(), events, 0});
            break;
        }
        default:
            break;
        }
    }

    bool advance(std::span<const pollfd> polled) override
    {
        bool happened = false;
        switch (state_) {
        case sckResolvingHost:
            happened = resolver_->advance(polled);
            happened = take_resolution() || happened;
            break;
        case sckConnecting:
            if (const pollfd* p = find(polled, fd_.get()); p && p->revents)
                happened = finish_connect();
            break;
        case sckConnected:
            if (const pollfd* p = find(polled, fd_.get()); p && p->revents) {
                if (p->revents & POLLOUT)
                    flush();
                if (p->revents & (POLLIN | POLLHUP | POLLERR))
                    receive();
                happened = true;
            }
            break;
        default:
            break;
        }
        return happened;
    }

    bool pending() const override { return !inbox_.empty(); }

    int wait_limit_ms() const override
    {
        return state_ == sckResolvingHost ? resolver_->timeout_ms() : -1;
    }

    void detach() override { loop_ = nullptr; }

private:
    void wake() override
    {
        if (loop_)
            loop_->wake();
    }

    // Back to nothing: no lookup, no descriptor, no buffered bytes.
    void reset()
    {
        if (resolver_)
            resolver_->cancel();
        fd_.reset();
        addresses_.clear();
        next_address_ = 0;
        drop_buffers();
    }

    // Picks up a finished lookup. Returns whether one had finished.
    bool take_resolution()
    {
        std::optional<Resolver::Outcome> outcome;
        try {
            outcome = resolver_->take_outcome();
        } catch (...) {
            state_ = sckError;
            throw;
        }
        if (!outcome)
            return false;
        if (!outcome->found) {
            state_ = sckError;
            return true;
        }
        addresses_ = std::move(outcome->addresses);
        state_ = sckHostResolved;
        try_next_address();
        return true;
    }

    // Starts a connection to the next address not tried yet; sckError once
    // every address has failed.
    void try_next_address()
    {
        fd_.reset();
        while (next_address_ < addresses_.size()) {
            Address address = addresses_[next_address_++];
            if (ConnectFilter::refuses(reinterpret_cast<const sockaddr*>(&address.storage)))
                continue;
            set_port(address, port_);
            Fd fd(::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
            if (!fd) {
                const int error = errno;
                // This machine does not speak the family: the address is
                // unreachable from here, not a failure of ours.
                if (error == EAFNOSUPPORT || error == EPROTONOSUPPORT)
                    continue;
                state_ = sckError;
                raise_errno(error, "verimex: socket");
            }
            if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
                fd_ = std::move(fd);
                state_ = sckConnected;
                return;
            }
            // EINTR on a non-blocking connect: it goes on in the background.
            if (errno == EINPROGRESS || errno == EINTR) {
                fd_ = std::move(fd);
                state_ = sckConnecting;
                return;
            }
            // Refused or unreachable at once: the same path as a late
            // failure, on to the next address.
        }
        state_ = sckError;
    }

    // The pending connect has an answer. Returns true (something happened).
    bool finish_connect()
    {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            error = errno;
        if (error == 0) {
            state_ = sckConnected;
            return true;
        }
        try_next_address();
        return true;
    }

    void flush() override
    {
        while (!outbox_.empty()) {
            const ssize_t sent = ::send(fd_.get(), outbox_.data(), outbox_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0) {
                outbox_.erase(0, static_cast<std::size_t>(sent));
                continue;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // The peer is gone (EPIPE, ECONNRESET, ...): what we had to say
            // is dropped, and so is anything said later. The state is left
            // to the next read, which still hands over what the peer sent
            // before it went and then finds the close or the reset.
            outbox_.clear();
            send_closed_ = true;
            return;
        }
    }

    void receive()
    {
        char chunk[16 * 1024];
        std::size_t budget = read_per_pass;
        while (budget > 0 && room_to_read()) {
            const ssize_t got = ::recv(fd_.get(), chunk, std::min(sizeof chunk, budget), MSG_DONTWAIT);
            if (got > 0) {
                inbox_.append(chunk, static_cast<std::size_t>(got));
                budget -= static_cast<std::size_t>(got);
                continue;
            }
            if (got == 0) {
                // Orderly close by the peer. The descriptor stays ours until
                // Close, but there is nothing more to poll on it.
                state_ = sckClosing;
                outbox_.clear();
                return;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // Reset by the peer: an error, though what came before stays.
            outbox_.clear();
            fd_.reset();
            state_ = sckError;
            return;
        }
    }

    Loop* loop_;
    Fd fd_;
    std::unique_ptr<Resolver> resolver_;  // made on the first name to resolve
    std::vector<Address> addresses_;
    std::size_t next_address_ = 0;
};

}  // namespace

std::unique_ptr<SocketControl> make_tcp_socket(Loop& loop)
{
    return std::make_unique<TcpSocket>(loop);
}

namespace {

thread_local ConnectFilter* thread_filter = nullptr;

}  // namespace

ConnectFilter::ConnectFilter(Refuses judge) : refuses_(judge)
{
    thread_filter = this;
}

ConnectFilter::~ConnectFilter()
{
    thread_filter = nullptr;
}

bool ConnectFilter::refuses(const sockaddr* address)
{
    ConnectFilter* const filter = thread_filter;
    if (filter == nullptr)
        return false;
    char text[INET6_ADDRSTRLEN] = {};
    const void* bytes = address->sa_family == AF_INET
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    // An address that cannot be written out is nothing the filter could
    // judge: refused, as the filter is there to keep connections in.
    const bool refused = ::inet_ntop(address->sa_family, bytes, text, sizeof text) == nullptr || filter->refuses_(text);
    if (refused)
        filter->refused_any_ = true;
    return refused;
}

}  // namespace verimex::platform::posix
