// The socket control over Winsock. Connect() starts a name lookup on a
// worker thread (getaddrinfo has no form that neither blocks nor needs a
// newer Windows), then a non-blocking connect to each address of the name
// in turn until one answers; WSAEventSelect records what the connection
// does, and every pass of the loop reads those records, receives what has
// arrived and sends what is queued. Nothing here blocks.
#include "platform/win32/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/socket_core.h"
#include "platform/win32/event_loop.h"
#include "platform/win32/handle.h"
#include "platform/win32/text.h"

namespace verimex::platform::win32 {

namespace {

[[noreturn]] void raise(int error, const char* what)
{
    throw std::system_error(error, std::system_category(), what);
}

// Errors that say the attempt to connect is over, as opposed to a failure
// of this machine's own resources, which is raised to the caller. Once a
// connection is up, every error is the connection's (state 9).
bool connection_error(int error)
{
    switch (error) {
    case WSAECONNREFUSED:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETRESET:
    case WSAETIMEDOUT:
    case WSAEADDRNOTAVAIL:
    case WSAEAFNOSUPPORT:
    case WSAEACCES:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
    case WSAENETDOWN:
        return true;
    default:
        return false;
    }
}

struct Address {
    sockaddr_storage storage{};
    int length = 0;
};

// One name lookup, shared by the socket that asked and the worker thread
// that answers. Whichever lets go last frees it, so a socket that closes
// or starts over simply drops its share and the worker finishes unseen.
struct Lookup {
    std::wstring host;
    Handle done;  // manual-reset event, set once the fields below are final
    int error = 0;
    std::vector<Address> addresses;  // in the resolver's order
};

// NOTE: the thread runs code of this module without holding it loaded:
// the event loop pins the module for good before any socket exists.
DWORD WINAPI lookup_thread(void* param)
{
    {
        std::unique_ptr<std::shared_ptr<Lookup>> share(static_cast<std::shared_ptr<Lookup>*>(param));
        Lookup& lookup = **share;
        WSADATA data{};
        const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
        if (started != 0) {
            lookup.error = started;
        } else {
            ADDRINFOW hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            ADDRINFOW* found = nullptr;
            const int error = ::GetAddrInfoW(lookup.host.c_str(), nullptr, &hints, &found);
            if (error != 0) {
                lookup.error = error;
            } else {
                // Every address, IPv4 and IPv6, so that a name whose first
                // address does not answer can still be reached.
                for (const ADDRINFOW* a = found; a != nullptr; a = a->ai_next) {
                    if (a->ai_addr == nullptr || a->ai_addrlen > sizeof(sockaddr_storage))
                        continue;
                    Address address;
                    std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
                    address.length = static_cast<int>(a->ai_addrlen);
                    lookup.addresses.push_back(address);
                }
                if (lookup.addresses.empty())
                    lookup.error = WSAHOST_NOT_FOUND;
            }
            if (found)
                ::FreeAddrInfoW(found);
            ::WSACleanup();
        }
        ::SetEvent(lookup.done.get());
    }
    return 0;
}

std::shared_ptr<Lookup> start_lookup(std::wstring host)
{
    auto lookup = std::make_shared<Lookup>();
    lookup->host = std::move(host);
    lookup->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!lookup->done)
        raise(static_cast<int>(::GetLastError()), "verimex: CreateEventW");

    auto share = std::make_unique<std::shared_ptr<Lookup>>(lookup);
    Handle thread(::CreateThread(nullptr, 0, &lookup_thread, share.get(), 0, nullptr));
    if (!thread)
        raise(static_cast<int>(::GetLastError()), "verimex: CreateThread");
    // The thread owns its share now; it is never joined.
    share.release();
    return lookup;
}

// A TCP socket that no child process can inherit, from the moment it
// exists: a child started by another thread in between would otherwise
// keep the connection open. Systems older than Windows 7 SP1 do not know
// the flag; there the socket is made inheritable and closed to children at
// once, the best they allow.
Socket open_socket(int family)
{
    Socket s(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (s || ::WSAGetLastError() != WSAEINVAL)
        return s;
    s.reset(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (s)
        ::SetHandleInformation(reinterpret_cast<HANDLE>(s.get()), HANDLE_FLAG_INHERIT, 0);
    return s;
}

// A numeric address needs no lookup.
bool parse_numeric(const std::wstring& host, Address& address)
{
    address = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (::InetPtonW(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        address.length = sizeof(sockaddr_in);
        return true;
    }
    address = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (::InetPtonW(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        address.length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

class TcpSocket final : public SocketCore, public Source {
public:
    explicit TcpSocket(Loop& loop) : loop_(&loop)
    {
        event_.reset(::WSACreateEvent());
        if (!event_)
            raise(::WSAGetLastError(), "verimex: WSACreateEvent");
        loop.add(static_cast<Source&>(*this));
    }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    ~TcpSocket() override
    {
        if (loop_)
            loop_->remove(static_cast<Source&>(*this));
    }

    void Connect() override
    {
        if (state_ != sckClosed)
            Close();
        wake();
        if (!nameable_host(host_)) {
            state_ = sckError;
            return;
        }
        const std::wstring host = widen(host_, CP_UTF8);
        Address address;
        if (parse_numeric(host, address)) {
            addresses_.push_back(address);
            try_next_address();
            return;
        }
        lookup_ = start_lookup(host);
        state_ = sckResolvingHost;
    }

    void Close() override
    {
        lookup_.reset();
        addresses_.clear();
        next_address_ = 0;
        socket_.reset();
        drop_buffers();
        unread_ = false;
        at_end_ = false;
        close_seen_ = false;
        close_error_ = 0;
        state_ = sckClosed;
    }

    HANDLE event() const override
    {
        if (state_ == sckResolvingHost && lookup_)
            return lookup_->done.get();
        return socket_ ? event_.get() : nullptr;
    }

    bool advance() override
    {
        if (state_ == sckResolvingHost)
            return lookup_finished();
        if (!socket_)
            return false;

        WSANETWORKEVENTS happened{};
        if (::WSAEnumNetworkEvents(socket_.get(), event_.get(), &happened) == SOCKET_ERROR)
            raise(::WSAGetLastError(), "verimex: WSAEnumNetworkEvents");
        const long events = happened.lNetworkEvents;
        if (events & FD_CONNECT) {
            if (const int error = happened.iErrorCode[FD_CONNECT_BIT]; error != 0) {
                // This address did not answer; the next one may.
                socket_.reset();
                try_next_address();
                return true;
            }
            state_ = sckConnected;
            flush();
        }
        if ((events & FD_WRITE) && state_ == sckConnected)
            flush();
        if (events & FD_CLOSE) {
            // What the peer sent before it closed is still there to read;
            // the close shows once the reads have reached it.
            close_seen_ = true;
            close_error_ = happened.iErrorCode[FD_CLOSE_BIT];
            unread_ = true;
        }
        if (events & FD_READ)
            unread_ = true;
        // Reading stopped at the cap or at a pass's budget goes on without
        // a new FD_READ: Winsock records one only after the next recv.
        const bool read = unread_ && room_to_read() && socket_;
        if (read)
            receive();
        // NOTE: the end of the stream alone does not tell an orderly close
        // from a reset (Wine reads a reset as an end of stream once it has
        // taken the error for FD_CLOSE); FD_CLOSE does, and comes with it.
        if (at_end_ && close_seen_ && state_ == sckConnected) {
            if (close_error_ != 0)
                fail();
            else
                state_ = sckClosing;
        }
        return events != 0 || read;
    }

    // Bytes left unread in the connection at a pass's budget count too: the
    // next pass takes them without waiting for Winsock to say so again.
    bool pending() const override
    {
        return !inbox_.empty() || (unread_ && socket_ && room_to_read());
    }

    void detach() override { loop_ = nullptr; }

private:
    bool lookup_finished()
    {
        if (!lookup_ || ::WaitForSingleObject(lookup_->done.get(), 0) != WAIT_OBJECT_0)
            return false;
        const std::shared_ptr<Lookup> lookup = std::exchange(lookup_, nullptr);
        if (lookup->error != 0) {
            state_ = sckError;
            return true;
        }
        state_ = sckHostResolved;
        addresses_ = lookup->addresses;
        next_address_ = 0;
        try_next_address();
        return true;
    }

    // Starts a connection to the next address not tried yet; sckError once
    // none is left.
    void try_next_address()
    {
        while (next_address_ < addresses_.size()) {
            if (connect_to(addresses_[next_address_++]))
                return;
        }
        fail();
    }

    // Returns false when this address failed at once (refused, unreachable).
    bool connect_to(Address target)
    {
        sockaddr_storage& address = target.storage;
        const int length = target.length;
        const u_short port = htons(static_cast<u_short>(port_));
        if (address.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = port;
        else
            reinterpret_cast<sockaddr_in*>(&address)->sin_port = port;
        Socket s = open_socket(address.ss_family);
        if (!s) {
            // A family this machine does not have (no IPv6) only rules out
            // this address.
            const int error = ::WSAGetLastError();
            if (connection_error(error))
                return false;
            raise(error, "verimex: socket");
        }
        // Also makes the socket non-blocking.
        if (::WSAEventSelect(s.get(), event_.get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR)
            raise(::WSAGetLastError(), "verimex: WSAEventSelect");
        socket_ = std::move(s);
        state_ = sckConnecting;
        if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            state_ = sckConnected;
            return true;
        }
        const int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            return true;
        if (connection_error(error)) {
            socket_.reset();
            return false;
        }
        raise(error, "verimex: connect");
    }

    // Reads what has arrived, at most one pass's budget and never past the
    // cap on unread bytes; unread_ stays set while more may be waiting.
    void receive()
    {
        char buffer[16 * 1024];
        std::size_t budget = read_per_pass;
        while (socket_ && budget > 0 && room_to_read()) {
            const int want = static_cast<int>(std::min(sizeof buffer, budget));
            const int n = ::recv(socket_.get(), buffer, want, 0);
            if (n > 0) {
                inbox_.append(buffer, static_cast<std::size_t>(n));
                budget -= static_cast<std::size_t>(n);
                continue;
            }
            unread_ = false;
            if (n == 0) {
                // Everything the peer sent is in; advance() settles the
                // state with what FD_CLOSE reports.
                at_end_ = true;
                outbox_.clear();
                return;
            }
            if (::WSAGetLastError() == WSAEWOULDBLOCK)
                return;
            // Reset, aborted, or anything else: the connection is over, and
            // what came before it stays readable.
            fail();
            return;
        }
    }

    void wake() override
    {
        if (loop_)
            loop_->wake();
    }

    void flush() override
    {
        while (!outbox_.empty() && socket_) {
            const int chunk = outbox_.size() > 65536 ? 65536 : static_cast<int>(outbox_.size());
            const int n = ::send(socket_.get(), outbox_.data(), chunk, 0);
            if (n > 0) {
                outbox_.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            // Full: FD_WRITE says when to go on.
            if (::WSAGetLastError() == WSAEWOULDBLOCK)
                return;
            // The peer is gone: what we had to say is dropped, and so is
            // anything said later. The state is left to the reads, which
            // still hand over what the peer sent before it went and then
            // find the close or the reset.
            outbox_.clear();
            send_closed_ = true;
            unread_ = true;
            return;
        }
    }

    // The connection is over. What was received stays readable.
    void fail()
    {
        socket_.reset();
        outbox_.clear();
        unread_ = false;
        state_ = sckError;
    }

    Loop* loop_;
    std::shared_ptr<Lookup> lookup_;
    std::vector<Address> addresses_;
    std::size_t next_address_ = 0;
    Socket socket_;
    WsaEvent event_;
    bool unread_ = false;       // the connection may hold bytes not yet read
    bool at_end_ = false;       // a receive found the end of the stream
    bool close_seen_ = false;   // FD_CLOSE has come
    int close_error_ = 0;       // what FD_CLOSE reported
};

}  // namespace

std::unique_ptr<SocketControl> make_tcp_socket(Loop& loop)
{
    return std::make_unique<TcpSocket>(loop);
}

}  // namespace verimex::platform::win32
