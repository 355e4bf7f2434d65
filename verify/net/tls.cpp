// STARTTLS's TLS session (OpenSSL 3): one shared client context, the
// handshake and every read and write non-blocking under the deadline and
// the stop request. Certificates are not verified: MTAs encrypt
// opportunistically (RFC 7435), and so does a probe that wants the same
// answers they get.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>

#include <arpa/inet.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "verify/net/stream.h"
#include "verify/net/wait.h"

namespace verimex::engine::net {

namespace {

// What the socket BIO below works on: the descriptor, and the errno of its
// last failure (SSL_ERROR_SYSCALL leaves it to us).
struct bio_target {
    int fd = -1;
    int error = 0;
};

// OpenSSL's own socket BIO writes with write(), and a peer that has gone
// would raise SIGPIPE in the host; this one sends with MSG_NOSIGNAL.
int bio_write(BIO* bio, const char* data, int length)
{
    auto* target = static_cast<bio_target*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::send(target->fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_write(bio);
        else
            target->error = errno;
        return -1;
    }
}

int bio_read(BIO* bio, char* data, int length)
{
    auto* target = static_cast<bio_target*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(target->fd, data, static_cast<std::size_t>(length), 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        else
            target->error = errno;
        return -1;
    }
}

long bio_ctrl(BIO*, int command, long, void*)
{
    // Writes go straight to the socket: there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

// Made once and kept for the life of the process, as OpenSSL's own methods.
const BIO_METHOD* socket_method()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "verimex socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, bio_write);
            BIO_meth_set_read(m, bio_read);
            BIO_meth_set_ctrl(m, bio_ctrl);
            BIO_meth_set_create(m, bio_create);
        }
        return m;
    }();
    return method;
}

// One context for every session of the process. The STARTTLS modes
// differ only in what a failure means to the dialog, not in what is
// accepted, so they share it.
SSL_CTX* client_context()
{
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c == nullptr)
            return c;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        // Mail servers in the field still have 1024-bit keys and SHA-1
        // certificates, which OpenSSL's default level 2 refuses; without
        // verification, refusing them would only mean sending in clear.
        SSL_CTX_set_security_level(c, 0);
        SSL_CTX_set_cipher_list(c, "ALL:!eNULL");
        // A server that closes without close_notify has still closed.
        SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE);
        SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
        return c;
    }();
    return context;
}

// The reason of the first error on this thread's OpenSSL queue, in words.
std::string openssl_reason()
{
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown TLS error";
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "TLS error " + std::to_string(ERR_GET_REASON(code));
}

struct ssl_free {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

}  // namespace

struct tls_session::state {
    bio_target target;
    std::unique_ptr<SSL, ssl_free> ssl;
    const cancellation* cancel = nullptr;

    // Turns an SSL call's result into a wait (and true) or an outcome.
    bool wait_or_fail(int ret, const char* during, deadline until, tls_io& out)
    {
        const int error = SSL_get_error(ssl.get(), ret);
        short events = 0;
        switch (error) {
        case SSL_ERROR_WANT_READ:
            events = POLLIN;
            break;
        case SSL_ERROR_WANT_WRITE:
            events = POLLOUT;
            break;
        case SSL_ERROR_ZERO_RETURN:
            ERR_clear_error();
            out.status = io_status::closed;
            out.text = std::string(during) + ": the server closed the connection";
            return false;
        case SSL_ERROR_SYSCALL:
            if (target.error == 0) {
                ERR_clear_error();
                out.status = io_status::closed;
                out.text = std::string(during) + ": the server closed the connection";
            } else {
                ERR_clear_error();
                out.status = io_status::failed;
                out.error = target.error;
                out.text = std::string(during) + ": " + std::system_category().message(target.error);
            }
            return false;
        default:
            out.status = io_status::failed;
            out.error = EPROTO;
            out.text = std::string(during) + ": " + openssl_reason();
            return false;
        }
        int wait_error = 0;
        switch (wait_for(target.fd, events, cancel, until, wait_error)) {
        case wait_result::ready:
            return true;
        case wait_result::timeout:
            out.status = io_status::timeout;
            out.text = std::string(during) + ": no answer within the time limit";
            return false;
        case wait_result::cancelled:
            out.status = io_status::cancelled;
            return false;
        case wait_result::failed:
            out.status = io_status::failed;
            out.error = wait_error;
            out.text = std::string(during) + ": " + std::system_category().message(wait_error);
            return false;
        }
        return false;
    }
};

tls_session::tls_session(std::unique_ptr<state> s) : state_(std::move(s)) {}

tls_session::~tls_session() = default;

std::unique_ptr<tls_session> tls_session::handshake(int fd, std::string_view server_name,
                                                    const cancellation* cancel, deadline until, tls_io& result)
{
    result = {};
    const auto setup_failed = [&result](const char* what) {
        result.status = io_status::failed;
        result.error = ENOMEM;
        result.text = std::string("TLS handshake: ") + what + ": " + openssl_reason();
        return nullptr;
    };
    SSL_CTX* context = client_context();
    const BIO_METHOD* method = socket_method();
    if (context == nullptr || method == nullptr)
        return setup_failed("no TLS context");
    auto s = std::make_unique<state>();
    s->target.fd = fd;
    s->cancel = cancel;
    s->ssl.reset(SSL_new(context));
    if (!s->ssl)
        return setup_failed("SSL_new");
    BIO* bio = BIO_new(method);
    if (bio == nullptr)
        return setup_failed("BIO_new");
    BIO_set_data(bio, &s->target);
    // The session owns the BIO from here on, for reading and writing both.
    SSL_set_bio(s->ssl.get(), bio, bio);
    // SNI carries names only; an address literal goes without it.
    const std::string name(server_name);
    unsigned char bytes[16];
    if (!name.empty() && ::inet_pton(AF_INET, name.c_str(), bytes) != 1 &&
        ::inet_pton(AF_INET6, name.c_str(), bytes) != 1)
        SSL_set_tlsext_host_name(s->ssl.get(), name.c_str());
    SSL_set_connect_state(s->ssl.get());
    for (;;) {
        if (stop_requested(cancel)) {
            result.status = io_status::cancelled;
            return nullptr;
        }
        ERR_clear_error();
        s->target.error = 0;
        const int ret = SSL_do_handshake(s->ssl.get());
        if (ret == 1)
            break;
        if (!s->wait_or_fail(ret, "TLS handshake", until, result))
            return nullptr;
    }
    return std::unique_ptr<tls_session>(new tls_session(std::move(s)));
}

tls_io tls_session::read(char* into, std::size_t size, deadline until)
{
    tls_io out;
    for (;;) {
        if (stop_requested(state_->cancel)) {
            out.status = io_status::cancelled;
            return out;
        }
        ERR_clear_error();
        state_->target.error = 0;
        std::size_t got = 0;
        const int ret = SSL_read_ex(state_->ssl.get(), into, size, &got);
        if (ret == 1) {
            out.bytes = got;
            return out;
        }
        if (!state_->wait_or_fail(ret, "TLS read", until, out))
            return out;
    }
}

tls_io tls_session::write(std::string_view bytes, deadline until)
{
    tls_io out;
    while (!bytes.empty()) {
        if (stop_requested(state_->cancel)) {
            out.status = io_status::cancelled;
            return out;
        }
        ERR_clear_error();
        state_->target.error = 0;
        std::size_t sent = 0;
        const int ret = SSL_write_ex(state_->ssl.get(), bytes.data(), bytes.size(), &sent);
        if (ret == 1) {
            bytes.remove_prefix(sent);
            continue;
        }
        if (!state_->wait_or_fail(ret, "TLS write", until, out))
            return out;
    }
    return out;
}

std::string tls_session::version() const
{
    return SSL_get_version(state_->ssl.get());
}

}  // namespace verimex::engine::net
