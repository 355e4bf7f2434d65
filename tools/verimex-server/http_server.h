// The server's HTTP layer: connections read and written on an event loop
// (Boost.Beast), with every request bounded by construction.
//
// - A request's head must be complete within head_timeout of its first
//   byte (of the accept, for a connection's first request), and be at
//   most max_head bytes; its body must be complete within body_timeout,
//   and is at most max_body bytes however it is framed (a length,
//   chunks), counted as it arrives.
// - A request body in a Content-Encoding is refused (415), never decoded.
// - A kept-alive connection waits keep_alive for its next request.
// - Waiting connections cost a socket and a small buffer, no thread:
//   thousands of idle or trickling clients leave the others served.
// - Handlers run on the request threads, never on the event loop, unless
//   they answer later without blocking (a single check, answered from the
//   thread that ran it); each reply (and each piece of a streamed one)
//   must be taken by the client within write_timeout.
// - A body left unread after an early answer is read and dropped when it
//   is small, or the connection is closed; it is never taken for a
//   further request.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "http_message.h"

namespace verimex_server {

struct HttpSettings {
    std::size_t max_head = 256 * 1024;
    std::size_t max_body = 8u << 20;
    std::chrono::seconds head_timeout{10};
    std::chrono::seconds body_timeout{60};
    std::chrono::seconds write_timeout{10};
    std::chrono::seconds keep_alive{5};
    unsigned keep_alive_requests = 1000;  // on one connection, then it is closed
    // One is enough: the loop only moves bytes and parses heads, and with
    // one thread Asio takes no locks for it (measured faster than two).
    unsigned io_threads = 1;
    unsigned request_threads = 64;
    std::size_t request_queue = 256;  // requests waiting for a thread, at most
    std::size_t max_connections = 20000;
};

// What the layer asks of the program.
class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // On the event loop, once a request's head is read and before its
    // body is: true when res is the request's answer and its body is not
    // to be read. Must not block.
    virtual bool refuse(Request& req, Response& res) = 0;
    // On the event loop, with the whole body read: true when the handler
    // takes the request itself and calls done (from any thread) once res
    // is its answer; false sends it to a request thread and handle(). Must
    // not block.
    virtual bool start(Request& req, Response& res, std::function<void()> done) = 0;
    // On a request thread, with the whole body read.
    virtual void handle(Request& req, Response& res) = 0;
    // Once a reply is written (or its connection cut): every request that
    // reached refuse(), and those the layer answered itself (400, 413,
    // 415, 431, 503). body_bytes counts the body sent, streamed or not.
    virtual void finished(const Request& req, const Response& res, std::uint64_t body_bytes,
                          std::chrono::steady_clock::duration took) = 0;
};

class HttpServer {
public:
    HttpServer(const HttpSettings& settings, HttpHandler& handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds host:port (an address, or a name looked up) and listens; port
    // 0 takes a free one. The OS's error when that fails.
    std::error_code listen(const std::string& host, std::uint16_t port);
    // The port listened on.
    std::uint16_t port() const;

    // Serves until stop() or stop_now() and every connection has ended.
    // Returns the error that ended accepting when it was not a stop: a
    // failure the server cannot recover from.
    std::error_code run();

    // Takes no further connection or request; connections waiting for a
    // request are closed, and the requests under way are answered. Safe
    // from any thread, also before run().
    void stop();
    // Closes every connection at once.
    void stop_now();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace verimex_server
