// The real smtp_stream: a non-blocking TCP socket, plain or under TLS,
// with the reply framing and its bounds. socks5.cpp and tls.cpp build on
// the byte-level calls declared here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/posix/fd.h"
#include "verify/net.h"

namespace verimex::engine::net {

class tls_session;

class socket_stream final : public smtp_stream {
public:
    socket_stream(platform::posix::Fd fd, const cancellation* cancel);
    ~socket_stream() override;
    socket_stream(const socket_stream&) = delete;
    socket_stream& operator=(const socket_stream&) = delete;

    io_status send(std::string_view bytes, deadline until) override;
    io_status read_reply(std::string& text, deadline until) override;
    io_status start_tls(deadline until, std::string_view server_name = {}) override;
    bool encrypted() const override;
    std::string tls_version() const override;
    int error_code() const override { return error_; }
    std::string error_text() const override { return error_text_; }

    // Exactly n bytes (the SOCKS5 replies' fixed parts), taken from what
    // was read already first; what follows stays for read_reply.
    io_status read_exact(std::size_t n, std::string& out, deadline until);

private:
    // Reads what has arrived (at least one byte, at most one chunk) onto
    // the end of buffer_.
    io_status fill(deadline until);
    io_status failed(int error, std::string text);

    platform::posix::Fd fd_;
    const cancellation* cancel_;
    // Received and not yet handed out: at most one line's bound plus one
    // chunk, whatever the peer sends.
    std::string buffer_;
    std::unique_ptr<tls_session> tls_;
    int error_ = 0;
    std::string error_text_;
};

// What one read or write on the TLS session came to.
struct tls_io {
    io_status status = io_status::ok;
    std::size_t bytes = 0;
    int error = 0;     // errno, or EPROTO for a TLS failure
    std::string text;  // a failure in words
};

// One TLS session over a connected non-blocking socket (tls.cpp). Every call
// waits under the deadline and the stop request.
class tls_session {
public:
    ~tls_session();
    // The client handshake; null with `result` telling why on failure.
    static std::unique_ptr<tls_session> handshake(int fd, std::string_view server_name, const cancellation* cancel,
                                                  deadline until, tls_io& result);
    tls_io read(char* into, std::size_t size, deadline until);
    tls_io write(std::string_view bytes, deadline until);
    std::string version() const;

private:
    struct state;
    explicit tls_session(std::unique_ptr<state> s);
    std::unique_ptr<state> state_;
};

// "ADDR:PORT", "[V6]:PORT", "NAME:PORT": for details and the transcript.
std::string endpoint_text(const std::string& address, std::uint16_t port);

// The numeric address a socket is bound to; empty when the system does
// not say.
std::string bound_address(int fd);

// A direct TCP connection to a numeric address.
std::unique_ptr<socket_stream> tcp_connect(const std::string& address, std::uint16_t port,
                                           const cancellation* cancel, deadline until, connect_result& result);

// A SOCKS5 CONNECT (RFC 1928, RFC 1929 authentication) over a stream
// connected to the proxy (socks5.cpp). The target is a numeric address.
connect_result socks5_connect(socket_stream& stream, const std::string& proxy_name, const proxy_settings& proxy,
                              const std::string& address, std::uint16_t port, deadline until);

}  // namespace verimex::engine::net
