// One SMTP connection: the non-blocking TCP connect under a deadline and a
// stop request, sending, and framing whole replies within their bounds.
// TLS (tls.cpp) and SOCKS5 (socks5.cpp) plug in underneath.
#include "verify/net/stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "verify/net/wait.h"

namespace verimex::engine::net {

namespace {

using platform::posix::Fd;

// What one receive takes at most.
constexpr std::size_t chunk_size = 4096;

std::string os_text(int error)
{
    return std::system_category().message(error);
}

// The numeric address and port as a socket address; false when address is
// not numeric.
bool socket_address(const std::string& address, std::uint16_t port, sockaddr_storage& out, socklen_t& length)
{
    out = {};
    std::string host = address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
        return true;
    }
    out = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

connect_result::status connect_status(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return connect_result::status::refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return connect_result::status::unreachable;
    case ETIMEDOUT:
        return connect_result::status::timeout;
    default:
        return connect_result::status::failed;
    }
}

bool continues(std::string_view line)
{
    return line.size() >= 4 && line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
           line[2] >= '0' && line[2] <= '9' && line[3] == '-';
}

}  // namespace

std::string bound_address(int fd)
{
    sockaddr_storage own{};
    socklen_t size = sizeof own;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &size) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = "";
    const void* bytes = own.ss_family == AF_INET6
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&own)->sin6_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&own)->sin_addr);
    if (::inet_ntop(own.ss_family, bytes, text, sizeof text) == nullptr)
        return {};
    return text;
}

std::string endpoint_text(const std::string& address, std::uint16_t port)
{
    const bool v6 = address.find(':') != std::string::npos && address[0] != '[';
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::unique_ptr<socket_stream> tcp_connect(const std::string& address, std::uint16_t port,
                                           const cancellation* cancel, deadline until, connect_result& result)
{
    result = {};
    const std::string where = endpoint_text(address, port);
    sockaddr_storage target{};
    socklen_t length = 0;
    if (!socket_address(address, port, target, length)) {
        result.result = connect_result::status::failed;
        result.error_code = EINVAL;
        result.detail = "not a numeric address: " + address;
        return nullptr;
    }
    if (stop_requested(cancel)) {
        result.result = connect_result::status::cancelled;
        return nullptr;
    }
    Fd fd(::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        result.result = connect_result::status::failed;
        result.error_code = errno;
        result.detail = "socket: " + os_text(errno);
        return nullptr;
    }
    // Commands go out one at a time and each waits for its reply: nothing
    // would be gained by holding small writes back.
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    int error = 0;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), length) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            // In progress is not an error: the outcome is SO_ERROR once the
            // socket turns writable, the same path an immediate refusal
            // would have taken.
            int wait_error = 0;
            switch (wait_for(fd.get(), POLLOUT, cancel, until, wait_error)) {
            case wait_result::ready: {
                socklen_t size = sizeof error;
                if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
                break;
            }
            case wait_result::timeout:
                result.result = connect_result::status::timeout;
                result.error_code = ETIMEDOUT;
                result.detail = where + ": no answer within the time limit";
                return nullptr;
            case wait_result::cancelled:
                result.result = connect_result::status::cancelled;
                return nullptr;
            case wait_result::failed:
                error = wait_error;
                break;
            }
        }
    }
    if (error != 0) {
        result.result = connect_status(error);
        result.error_code = error;
        result.detail = where + ": " + os_text(error);
        return nullptr;
    }
    result.result = connect_result::status::ok;
    result.local_address = bound_address(fd.get());
    return std::make_unique<socket_stream>(std::move(fd), cancel);
}

socket_stream::socket_stream(Fd fd, const cancellation* cancel) : fd_(std::move(fd)), cancel_(cancel) {}

// Out of line: tls_session is complete only here.
socket_stream::~socket_stream() = default;

io_status socket_stream::failed(int error, std::string text)
{
    error_ = error;
    error_text_ = std::move(text);
    return io_status::failed;
}

bool socket_stream::encrypted() const
{
    return tls_ != nullptr;
}

std::string socket_stream::tls_version() const
{
    return tls_ ? tls_->version() : std::string();
}

io_status socket_stream::send(std::string_view bytes, deadline until)
{
    if (tls_) {
        const tls_io r = tls_->write(bytes, until);
        if (r.status == io_status::failed)
            return failed(r.error, r.text);
        return r.status;
    }
    while (!bytes.empty()) {
        if (stop_requested(cancel_))
            return io_status::cancelled;
        const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return failed(errno, "send: " + os_text(errno));
        int error = 0;
        switch (wait_for(fd_.get(), POLLOUT, cancel_, until, error)) {
        case wait_result::ready:
            break;
        case wait_result::timeout:
            return io_status::timeout;
        case wait_result::cancelled:
            return io_status::cancelled;
        case wait_result::failed:
            return failed(error, "poll: " + os_text(error));
        }
    }
    return io_status::ok;
}

io_status socket_stream::fill(deadline until)
{
    char chunk[chunk_size];
    for (;;) {
        if (stop_requested(cancel_))
            return io_status::cancelled;
        // Checked before every receive, not only when one would wait: a
        // server dribbling a byte at a time must not carry the wait past
        // its deadline.
        if (clock::now() >= until)
            return io_status::timeout;
        if (tls_) {
            const tls_io r = tls_->read(chunk, sizeof chunk, until);
            if (r.status == io_status::ok)
                buffer_.append(chunk, r.bytes);
            else if (r.status == io_status::failed)
                return failed(r.error, r.text);
            return r.status;
        }
        const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return io_status::ok;
        }
        if (n == 0)
            return io_status::closed;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return failed(errno, "recv: " + os_text(errno));
        int error = 0;
        switch (wait_for(fd_.get(), POLLIN, cancel_, until, error)) {
        case wait_result::ready:
            break;
        case wait_result::timeout:
            return io_status::timeout;
        case wait_result::cancelled:
            return io_status::cancelled;
        case wait_result::failed:
            return failed(error, "poll: " + os_text(error));
        }
    }
}

io_status socket_stream::read_reply(std::string& text, deadline until)
{
    text.clear();
    std::size_t lines = 0;
    std::size_t searched = 0;  // buffer_ holds no line feed before this
    for (;;) {
        const std::size_t lf = buffer_.find('\n', searched);
        if (lf == std::string::npos) {
            if (buffer_.size() > max_reply_line) {
                text.append(buffer_, 0, max_reply_line);
                buffer_.clear();
                error_text_ = "a reply line longer than " + std::to_string(max_reply_line) + " bytes";
                return io_status::too_long;
            }
            searched = buffer_.size();
            const io_status s = fill(until);
            if (s != io_status::ok) {
                // What did arrive is evidence for the transcript.
                text.append(buffer_);
                buffer_.clear();
                return s;
            }
            continue;
        }
        const std::size_t length = lf + 1;
        if (length > max_reply_line) {
            text.append(buffer_, 0, max_reply_line);
            buffer_.clear();
            error_text_ = "a reply line longer than " + std::to_string(max_reply_line) + " bytes";
            return io_status::too_long;
        }
        const bool more = continues(std::string_view(buffer_).substr(0, length));
        text.append(buffer_, 0, length);
        buffer_.erase(0, length);
        searched = 0;
        ++lines;
        if (lines > max_reply_lines) {
            error_text_ = "a reply of more than " + std::to_string(max_reply_lines) + " lines";
            return io_status::too_long;
        }
        if (text.size() > max_reply_bytes) {
            error_text_ = "a reply longer than " + std::to_string(max_reply_bytes) + " bytes";
            return io_status::too_long;
        }
        // Any line that is not "NNN-" ends the reply, a malformed one
        // included: the dialog judges what it says.
        if (!more)
            return io_status::ok;
    }
}

io_status socket_stream::read_exact(std::size_t n, std::string& out, deadline until)
{
    while (buffer_.size() < n) {
        const io_status s = fill(until);
        if (s != io_status::ok)
            return s;
    }
    out.assign(buffer_, 0, n);
    buffer_.erase(0, n);
    return io_status::ok;
}

io_status socket_stream::start_tls(deadline until, std::string_view server_name)
{
    if (tls_)
        return failed(EALREADY, "STARTTLS: the connection is encrypted already");
    // Whatever the server sent after its 220 came before the handshake and
    // is not protected by it: kept, it would be read as if it were
    // (RFC 3207 section 6).
    buffer_.clear();
    tls_io r;
    tls_ = tls_session::handshake(fd_.get(), server_name, cancel_, until, r);
    if (!tls_) {
        if (r.status == io_status::failed)
            return failed(r.error, r.text);
        error_text_ = r.text;
        return r.status;
    }
    return io_status::ok;
}

}  // namespace verimex::engine::net

namespace verimex::engine {

std::unique_ptr<smtp_stream> connect_smtp(const std::string& address, std::uint16_t port,
                                          const proxy_settings* proxy, const cancellation* cancel,
                                          deadline until, connect_result& result)
{
    using namespace net;
    if (proxy == nullptr)
        return tcp_connect(address, port, cancel, until, result);

    result = {};
    sockaddr_storage ignored{};
    socklen_t length = 0;
    if (!socket_address(address, port, ignored, length)) {
        result.result = connect_result::status::failed;
        result.error_code = EINVAL;
        result.detail = "not a numeric address: " + address;
        return nullptr;
    }
    const std::string proxy_name = endpoint_text(proxy->host, proxy->port);
    const host_answer found = lookup_host(proxy->host, {proxy->dns_server, cancel}, until);
    switch (found.result) {
    case host_answer::status::ok:
        break;
    case host_answer::status::cancelled:
        result.result = connect_result::status::cancelled;
        return nullptr;
    case host_answer::status::timeout:
        result.result = connect_result::status::timeout;
        result.detail = "the proxy " + proxy_name + ": " + found.detail;
        return nullptr;
    default:
        result.result = connect_result::status::proxy_error;
        result.error_code = found.error_code;
        result.detail = "the proxy " + proxy_name + ": " + found.detail;
        return nullptr;
    }
    std::unique_ptr<socket_stream> stream;
    connect_result to_proxy;
    for (const std::string& a : found.addresses) {
        stream = tcp_connect(a, proxy->port, cancel, until, to_proxy);
        if (stream || to_proxy.result == connect_result::status::cancelled ||
            to_proxy.result == connect_result::status::timeout)
            break;
    }
    if (!stream) {
        result = to_proxy;
        if (result.result != connect_result::status::cancelled && result.result != connect_result::status::timeout)
            result.result = connect_result::status::proxy_error;
        result.detail = "could not connect to the proxy " + proxy_name + ": " + to_proxy.detail;
        return nullptr;
    }
    result = socks5_connect(*stream, proxy_name, *proxy, address, port, until);
    if (result.result != connect_result::status::ok)
        return nullptr;
    return stream;
}

}  // namespace verimex::engine
