// The HTTP layer on Boost.Beast: the accepting loop, and one Session per
// connection whose steps all run on the connection's strand.
#include "http_server.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "request.h"
#include "request_threads.h"

namespace verimex_server {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

// An unread body after an early answer is read and dropped up to this
// many bytes (a list posted without its token, say); a longer one closes
// the connection instead.
constexpr std::uint64_t drain_limit = 64 * 1024;
// After an answer that closes the connection, what the client still
// sends is read and dropped for this long before the socket is closed, so
// that the close does not reset the connection (and lose the answer)
// while the client is still sending the body it was refused.
constexpr auto linger_time = std::chrono::seconds(2);
// What is read and dropped then: a little after a malformed request; up to
// this much of a body refused for its size, so that a client sending a
// list too long for the server sees the 413 rather than a reset.
constexpr std::uint64_t linger_most = 64u << 20;

std::error_code std_error(const error_code& ec)
{
    return {ec.value(), std::generic_category()};
}

// Accept errors that concern one connection or a passing shortage: the
// server goes on accepting (after a pause for the shortages).
bool passing_accept_error(const error_code& ec, bool& pause)
{
    switch (ec.value()) {
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
        pause = true;
        return true;
    case ECONNABORTED: case EPROTO: case EPERM: case EINTR: case EAGAIN: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case ECONNRESET:
        pause = false;
        return true;
    default:
        return false;
    }
}

// The client hung up, went silent past a time limit, or the connection
// was cut here: nothing is answered.
bool connection_gone(const error_code& ec)
{
    return ec == beast::error::timeout || ec == net::error::operation_aborted || ec == net::error::eof ||
           ec == net::error::connection_reset || ec == http::error::end_of_stream;
}

void reply_internal_error(Response& res)
{
    res = Response{};
    reply_error(res, 500, "internal error");
}

}  // namespace

class HttpServer::Impl {
public:
    class Session;

    Impl(const HttpSettings& settings, HttpHandler& handler)
        : settings_(settings), handler_(handler), acceptor_(net::make_strand(ioc_)),
          pause_timer_(acceptor_.get_executor()), work_(net::make_work_guard(ioc_)),
          threads_(settings.request_threads, settings.request_queue)
    {
    }
    ~Impl() { stopping_ = true; }

    std::error_code listen(const std::string& host, std::uint16_t port);
    std::error_code run();
    void stop();
    void stop_now();

    const HttpSettings settings_;
    HttpHandler& handler_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> cut_{false};

    // The live sessions, for stop() to reach. Declared before the event
    // loop: sessions still in its queue end when it is destroyed, and
    // take themselves off this list then.
    std::mutex sessions_mutex_;
    std::list<std::weak_ptr<Session>> sessions_;  // guarded by sessions_mutex_
    bool accept_paused_ = false;                   // guarded by sessions_mutex_

    net::io_context ioc_{static_cast<int>(settings_.io_threads)};
    tcp::acceptor acceptor_;
    net::steady_timer pause_timer_;
    std::uint16_t port_ = 0;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work_;  // guarded by sessions_mutex_
    error_code accept_failure_;  // on the acceptor's strand, read after run

    RequestThreads threads_;

    void accept();
    void on_accept(error_code ec, tcp::socket socket);
    void session_ended(std::list<std::weak_ptr<Session>>::iterator where);
    // Every live session's step f, each on its own strand.
    template <class F>
    void each_session(F f);
};

// One connection, from its accept to its close. Every step runs on the
// connection's strand; only a handler (on a request thread, or the thread
// of a single check) and the writer of a streamed reply run elsewhere,
// while the connection waits for them.
class HttpServer::Impl::Session : public std::enable_shared_from_this<Session> {
public:
    Session(Impl& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)),
          buffer_(server.settings_.max_head + 64 * 1024), delay_(stream_.get_executor())
    {
        error_code ec;
        const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
        if (!ec) {
            net::ip::address a = peer.address();
            if (a.is_v6() && a.to_v6().is_v4_mapped())
                a = net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
            remote_ = a.to_string();
        }
    }

    std::list<std::weak_ptr<Session>>::iterator where;  // in the server's list

    ~Session() { server_.session_ended(where); }

    auto stream_executor() { return stream_.get_executor(); }

    void start()
    {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->wait_for_request(); });
    }

    // The server stops: a connection between requests is closed; one with
    // a request under way closes once it is answered.
    void stop()
    {
        if (state_ == State::waiting || state_ == State::reading || state_ == State::closing)
            cut();
    }

    void cut()
    {
        delay_.cancel();
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

private:
    enum class State { waiting, reading, handling, writing, closing };

    const HttpSettings& settings() const { return server_.settings_; }

    void wait_for_request()
    {
        state_ = State::waiting;
        if (server_.stopping_)
            return cut();
        if (buffer_.size() > 0)
            return read_head();
        // A buffer that grew for a large head is given back while waiting.
        buffer_.shrink_to_fit();
        stream_.expires_after(served_ == 0 ? settings().head_timeout : settings().keep_alive);
        stream_.async_read_some(buffer_.prepare(1024),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    if (ec)
                                        return self->cut();
                                    self->buffer_.commit(n);
                                    self->read_head();
                                });
    }

    void read_head()
    {
        state_ = State::reading;
        started_ = Clock::now();
        req_ = Request{};
        res_ = Response{};
        req_.remote_addr = remote_;
        head_.emplace();
        head_->header_limit(static_cast<std::uint32_t>(settings().max_head));
        // The body's length is judged once the head is read, after its
        // Content-Encoding (which decides the answer first).
        head_->body_limit(boost::none);
        stream_.expires_after(settings().head_timeout);
        http::async_read_header(stream_, buffer_, *head_, [self = shared_from_this()](error_code ec, std::size_t) {
            self->on_head(ec);
        });
    }

    void on_head(error_code ec)
    {
        if (ec == http::error::header_limit)
            return answer_layer(431);
        if (connection_gone(ec))
            return cut();
        if (ec)
            return answer_layer(400);
        const auto& head = head_->get();
        req_.method = std::string(head.method_string());
        req_.target = std::string(head.target());
        for (const auto& field : head)
            req_.headers.emplace(std::string(field.name_string()), std::string(field.value()));
        keep_alive_ = head.keep_alive();
        if (!parse_target(req_.target, req_))
            return answer_layer(400, "bad request target");
        // A decoder would turn a few bytes into gigabytes: bodies come as
        // they are.
        if (const auto coding = head[http::field::content_encoding];
            !coding.empty() && !beast::iequals(coding, "identity"))
            return answer_layer(415, "Content-Encoding: not accepted; send the body as it is");
        const auto length = head_->content_length();
        if (length && *length > settings().max_body) {
            linger_budget_ = std::min(*length, linger_most);
            return answer_layer(413);
        }

        const bool has_body = !head_->is_done();
        const bool expects_continue = beast::iequals(head[http::field::expect], "100-continue");
        if (server_.handler_.refuse(req_, res_)) {
            // Answered without the body: a small one, already on its way,
            // is read and dropped; any other leaves the connection closed.
            if (has_body && !expects_continue && length && *length <= drain_limit)
                return drain();
            if (has_body) {
                close_after_ = true;
                if (length && !expects_continue)
                    linger_budget_ = std::min(*length, linger_most);
            }
            return write_reply();
        }
        if (!has_body)
            return dispatch();
        body_.emplace(std::move(*head_));
        body_->body_limit(settings().max_body);
        if (expects_continue) {
            // The client waits for this before it sends the body.
            static const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(settings().write_timeout);
            return net::async_write(stream_, net::buffer(go_on), [self = shared_from_this()](error_code e, std::size_t) {
                if (e)
                    return self->cut();
                self->read_body();
            });
        }
        read_body();
    }

    void read_body()
    {
        stream_.expires_after(settings().body_timeout);
        http::async_read(stream_, buffer_, *body_, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec == http::error::body_limit) {
                self->linger_budget_ = linger_most;
                return self->answer_layer(413);
            }
            // A body cut short is a client gone too (a head cut short is
            // answered 400: the client may still read).
            if (connection_gone(ec) || ec == http::error::partial_message)
                return self->cut();
            if (ec)
                return self->answer_layer(400);
            self->req_.body = std::move(self->body_->get().body());
            self->body_.reset();
            self->dispatch();
        });
    }

    void drain()
    {
        drained_.emplace(std::move(*head_));
        drained_->body_limit(drain_limit);
        stream_.expires_after(settings().head_timeout);
        http::async_read(stream_, buffer_, *drained_, [self = shared_from_this()](error_code ec, std::size_t) {
            self->drained_.reset();
            if (ec)
                self->close_after_ = true;
            self->write_reply();
        });
    }

    // The request to a request thread; the answer comes back here.
    void dispatch()
    {
        head_.reset();
        state_ = State::handling;
        auto self = shared_from_this();
        const auto answered = [self] { net::post(self->stream_.get_executor(), [self] { self->write_reply(); }); };
        try {
            if (server_.handler_.start(req_, res_, answered))
                return;
        } catch (...) {
            reply_internal_error(res_);
            return write_reply();
        }
        const bool taken = server_.threads_.submit([self] {
            try {
                self->server_.handler_.handle(self->req_, self->res_);
            } catch (...) {
                reply_internal_error(self->res_);
            }
            if (self->res_.provider && self->req_.method != "HEAD")
                return self->stream();
            net::post(self->stream_.get_executor(), [self] { self->write_reply(); });
        });
        if (!taken) {
            res_ = Response{};
            res_.set_header("Retry-After", "1");
            reply_error(res_, 503, "the server is busy; try again later");
            write_reply();
        }
    }

    // An answer of the layer's own: the connection closes after it.
    void answer_layer(int status, std::string_view message = {})
    {
        res_ = Response{};
        reply_error(res_, status, message.empty() ? reason(status) : message);
        close_after_ = true;
        if (req_.method.empty())
            req_.method = "-";
        write_reply();
    }

    bool keeps_alive() const
    {
        return keep_alive_ && !close_after_ && !server_.stopping_ && served_ + 1 < settings().keep_alive_requests &&
               !beast::iequals(res_.get_header_value("Connection"), "close");
    }

    template <class Message>
    void fill_head(Message& out) const
    {
        for (const auto& [name, value] : res_.headers)
            if (!beast::iequals(name, "Connection"))
                out.insert(name, value);
        if (!res_.content_type.empty())
            out.set(http::field::content_type, res_.content_type);
        out.keep_alive(keeps_alive());
    }

    void write_reply()
    {
        state_ = State::writing;
        if (res_.delay.count() > 0) {
            delay_.expires_after(std::exchange(res_.delay, {}));
            return delay_.async_wait([self = shared_from_this()](error_code) { self->write_reply(); });
        }
        const bool head_only = req_.method == "HEAD";
        auto& out = reply_.emplace(static_cast<http::status>(res_.status), 11);
        fill_head(out);
        out.content_length(res_.body.size());
        if (!head_only)
            out.body() = std::move(res_.body);
        body_bytes_ = head_only ? 0 : out.body().size();
        stream_.expires_after(settings().write_timeout);
        http::async_write(stream_, out, [self = shared_from_this()](error_code ec, std::size_t) {
            self->reply_.reset();
            self->reply_written(!ec);
        });
    }

    void reply_written(bool ok)
    {
        server_.handler_.finished(req_, res_, body_bytes_, Clock::now() - started_);
        const bool again = ok && keeps_alive();
        req_ = Request{};
        res_ = Response{};
        if (!ok)
            return cut();
        if (!again)
            return linger();
        ++served_;
        wait_for_request();
    }

    // What the client still sends is read and dropped for a moment, then
    // the connection is closed.
    void linger()
    {
        state_ = State::closing;
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        linger_until_ = Clock::now() + linger_time;
        // What is in the buffer already counts.
        linger_budget_ -= std::min<std::uint64_t>(linger_budget_, buffer_.size());
        buffer_.clear();
        buffer_.shrink_to_fit();
        linger_more();
    }

    void linger_more()
    {
        if (Clock::now() >= linger_until_ || linger_budget_ == 0)
            return cut();
        stream_.expires_at(linger_until_);
        scratch_.resize(4096);
        stream_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](error_code ec, std::size_t n) {
            if (ec)
                return self->cut();
            self->linger_budget_ -= std::min<std::uint64_t>(self->linger_budget_, n);
            self->linger_more();
        });
    }

    // A streamed reply: its head, then each piece the provider writes as
    // a chunk, each written on the strand while the request thread waits.
    class ChunkSink final : public DataSink {
    public:
        explicit ChunkSink(Session& session) : session_(session) {}
        bool write(const char* data, std::size_t size) override
        {
            if (failed_ || size == 0)
                return !failed_;
            failed_ = !session_.on_strand([&](auto done) {
                net::async_write(session_.stream_, http::make_chunk(net::const_buffer(data, size)),
                                 [done](error_code ec, std::size_t) mutable { done(!ec); });
            });
            if (!failed_)
                session_.body_bytes_ += size;
            return !failed_;
        }
        void done() override
        {
            if (failed_ || finished_)
                return;
            finished_ = true;
            failed_ = !session_.on_strand([&](auto done) {
                net::async_write(session_.stream_, http::make_chunk_last(),
                                 [done](error_code ec, std::size_t) mutable { done(!ec); });
            });
        }
        bool complete() const { return finished_ && !failed_; }

    private:
        Session& session_;
        bool failed_ = false;
        bool finished_ = false;
    };

    // Runs start(done) on the strand and waits for done(ok), under the
    // write time limit; false when the connection failed or was cut.
    template <class Start>
    bool on_strand(Start start)
    {
        std::promise<bool> result;
        std::future<bool> ready = result.get_future();
        net::post(stream_.get_executor(), [this, &start, &result] {
            if (server_.cut_)
                return result.set_value(false);
            stream_.expires_after(settings().write_timeout);
            start([&result](bool ok) { result.set_value(ok); });
        });
        return ready.get();
    }

    // On a request thread.
    void stream()
    {
        ChunkSink sink(*this);
        body_bytes_ = 0;
        const bool head_out = on_strand([&](auto done) {
            state_ = State::writing;
            auto& head = stream_head_.emplace(static_cast<http::status>(res_.status), 11);
            fill_head(head);
            head.chunked(true);
            head_serializer_.emplace(head);
            http::async_write_header(stream_, *head_serializer_,
                                     [done](error_code ec, std::size_t) mutable { done(!ec); });
        });
        bool ok = head_out;
        if (ok) {
            try {
                ok = res_.provider(sink);
            } catch (...) {
                ok = false;
            }
            if (ok)
                sink.done();
            ok = ok && sink.complete();
        }
        net::post(stream_.get_executor(), [self = shared_from_this(), ok] {
            self->head_serializer_.reset();
            self->stream_head_.reset();
            self->res_.provider = nullptr;
            self->reply_written(ok);
        });
    }

    Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    net::steady_timer delay_;
    std::string remote_;
    State state_ = State::waiting;
    unsigned served_ = 0;
    bool keep_alive_ = false;
    bool close_after_ = false;
    Clock::time_point started_;
    Clock::time_point linger_until_;
    std::uint64_t body_bytes_ = 0;
    std::uint64_t linger_budget_ = drain_limit;
    Request req_;
    Response res_;
    std::optional<http::request_parser<http::empty_body>> head_;
    std::optional<http::request_parser<http::string_body>> body_;
    std::optional<http::request_parser<http::string_body>> drained_;
    std::optional<http::response<http::string_body>> reply_;
    std::optional<http::response<http::empty_body>> stream_head_;
    std::optional<http::response_serializer<http::empty_body>> head_serializer_;
    std::vector<char> scratch_;
};

std::error_code HttpServer::Impl::listen(const std::string& host, std::uint16_t port)
{
    error_code ec;
    net::ip::address address = net::ip::make_address(host, ec);
    if (ec) {
        tcp::resolver resolver(ioc_);
        const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
        if (ec)
            return std_error(ec);
        if (found.empty())
            return std::make_error_code(std::errc::address_not_available);
        address = found.begin()->endpoint().address();
    }
    const tcp::endpoint endpoint(address, port);
    acceptor_.open(endpoint.protocol(), ec);
    if (ec)
        return std_error(ec);
    // SO_REUSEADDR lets a restarted server listen at once, past the old
    // connections' TIME_WAIT; never SO_REUSEPORT, with which a second
    // server would bind beside a live one and take half its clients.
    acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error_code ignored;
        acceptor_.close(ignored);
        return std_error(ec);
    }
    port_ = acceptor_.local_endpoint(ec).port();
    return {};
}

void HttpServer::Impl::accept()
{
    acceptor_.async_accept(net::make_strand(ioc_), [this](error_code ec, tcp::socket socket) {
        on_accept(ec, std::move(socket));
    });
}

void HttpServer::Impl::on_accept(error_code ec, tcp::socket socket)
{
    if (stopping_)
        return;
    if (ec) {
        bool pause = false;
        if (!passing_accept_error(ec, pause)) {
            // The listening socket itself failed: nothing more can come.
            accept_failure_ = ec;
            stop_now();
            return;
        }
        if (!pause)
            return accept();
        // Out of descriptors or memory: the connections already open are
        // served, and accepting is tried again in a moment.
        pause_timer_.expires_after(std::chrono::milliseconds(100));
        pause_timer_.async_wait([this](error_code e) {
            if (!e && !stopping_)
                accept();
        });
        return;
    }
    error_code ignored;
    // A reply goes out in more than one write (head, then chunks): with
    // Nagle's algorithm the second would wait for the client's delayed ACK.
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    bool more = true;
    {
        std::lock_guard lock(sessions_mutex_);
        session->where = sessions_.insert(sessions_.end(), session);
        more = sessions_.size() < settings_.max_connections;
        accept_paused_ = !more;
    }
    session->start();
    if (more)
        accept();
}

void HttpServer::Impl::session_ended(std::list<std::weak_ptr<Session>>::iterator where)
{
    bool resume = false;
    std::lock_guard lock(sessions_mutex_);
    sessions_.erase(where);
    if (accept_paused_ && !stopping_) {
        accept_paused_ = false;
        resume = true;
    }
    if (stopping_ && sessions_.empty())
        work_.reset();
    if (resume)
        net::post(acceptor_.get_executor(), [this] { accept(); });
}

template <class F>
void HttpServer::Impl::each_session(F f)
{
    // Taken under the lock and posted without it: the last reference to
    // a session may be dropped here, and its end takes the lock.
    std::vector<std::shared_ptr<Session>> live;
    {
        std::lock_guard lock(sessions_mutex_);
        for (const auto& weak : sessions_)
            if (auto session = weak.lock())
                live.push_back(std::move(session));
    }
    for (auto& session : live) {
        auto executor = session->stream_executor();
        net::post(executor, [session = std::move(session), f] { f(*session); });
    }
}

std::error_code HttpServer::Impl::run()
{
    net::post(acceptor_.get_executor(), [this] {
        if (!stopping_)
            accept();
    });
    std::vector<std::thread> io;
    for (unsigned i = 1; i < settings_.io_threads; ++i)
        io.emplace_back([this] { ioc_.run(); });
    ioc_.run();
    for (std::thread& t : io)
        t.join();
    threads_.shutdown();
    return std_error(accept_failure_);
}

void HttpServer::Impl::stop()
{
    if (stopping_.exchange(true))
        return;
    net::post(acceptor_.get_executor(), [this] {
        error_code ignored;
        acceptor_.close(ignored);
        pause_timer_.cancel();
    });
    each_session([](Session& s) { s.stop(); });
    std::lock_guard lock(sessions_mutex_);
    if (sessions_.empty())
        work_.reset();
}

void HttpServer::Impl::stop_now()
{
    cut_ = true;
    stop();
    each_session([](Session& s) { s.cut(); });
}

HttpServer::HttpServer(const HttpSettings& settings, HttpHandler& handler)
    : impl_(std::make_unique<Impl>(settings, handler))
{
}

HttpServer::~HttpServer() = default;

std::error_code HttpServer::listen(const std::string& host, std::uint16_t port)
{
    return impl_->listen(host, port);
}

std::uint16_t HttpServer::port() const
{
    return impl_->port_;
}

std::error_code HttpServer::run()
{
    return impl_->run();
}

void HttpServer::stop()
{
    impl_->stop();
}

void HttpServer::stop_now()
{
    impl_->stop_now();
}

}  // namespace verimex_server
