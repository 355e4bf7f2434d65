// STARTTLS against a scripted SMTP peer that hands its socket to an OpenSSL
// server after its 220 (a self-signed certificate made here): the session
// encrypted with the version reported, SNI, bytes injected before the
// handshake dropped, and handshakes that stall, fail or are stopped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/smtp_peer.h"
#include "verify/net.h"

namespace verimex::engine {
namespace {

using namespace std::chrono_literals;
using test::PeerConnection;
using test::SmtpPeer;

// One server context for the binary: a fresh P-256 key and a self-signed
// certificate for mx.tls.test, as a mail server with no CA would have.
SSL_CTX* server_context(int max_version)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    // EVP_EC_gen() itself casts away const, which the warnings refuse.
    char curve[] = "P-256";
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("mx.tls.test"), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    if (max_version != 0)
        SSL_CTX_set_max_proto_version(ctx, max_version);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

enum class after_220 { tls, stall, garbage };

struct seen {
    std::mutex mutex;
    std::string sni;
    std::string first_line;  // the first command read inside TLS
    bool handshaken = false;
};

// A mail server offering STARTTLS; after its 220 it does as `how` says.
// `extra` goes out in the same write as the 220, before the handshake.
test::Behaviour starttls_server(SSL_CTX* ctx, after_220 how, seen& record, std::string extra = {})
{
    return [ctx, how, &record, extra](PeerConnection& c) {
        if (!c.send("220 mx.tls.test ESMTP\r\n"))
            return;
        for (;;) {
            const std::optional<std::string> line = c.read_line();
            if (!line)
                return;
            const std::string verb = test::verb_of(*line);
            if (verb == "ehlo") {
                c.send("250-mx.tls.test\r\n250 STARTTLS\r\n");
                continue;
            }
            if (verb != "starttls") {
                c.send("502 5.5.2 no\r\n");
                continue;
            }
            c.send("220 2.0.0 Ready to start TLS\r\n" + extra);
            break;
        }
        if (how == after_220::stall) {
            c.wait_for_close();
            return;
        }
        if (how == after_220::garbage) {
            c.send("this is not a TLS record at all\r\n");
            c.wait_for_close();
            return;
        }
        // Blocking, with time limits, for the plain OpenSSL calls below.
        const int fd = c.descriptor();
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx), SSL_free);
        SSL_set_fd(ssl.get(), fd);
        if (SSL_accept(ssl.get()) != 1)
            return;
        {
            std::lock_guard lock(record.mutex);
            record.handshaken = true;
            const char* sni = SSL_get_servername(ssl.get(), TLSEXT_NAMETYPE_host_name);
            record.sni = sni != nullptr ? sni : "";
        }
        std::string got;
        char buffer[512];
        for (;;) {
            const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
            if (n <= 0)
                return;
            got.append(buffer, static_cast<std::size_t>(n));
            std::size_t lf;
            while ((lf = got.find('\n')) != std::string::npos) {
                const std::string command = got.substr(0, lf + 1);
                got.erase(0, lf + 1);
                {
                    std::lock_guard lock(record.mutex);
                    if (record.first_line.empty())
                        record.first_line = command;
                }
                const std::string verb = test::verb_of(command);
                const std::string reply = verb == "ehlo" ? "250-mx.tls.test\r\n250 SIZE 1000\r\n"
                                          : verb == "quit" ? "221 2.0.0 Bye\r\n"
                                                           : "250 2.1.0 Ok\r\n";
                SSL_write(ssl.get(), reply.data(), static_cast<int>(reply.size()));
                if (verb == "quit") {
                    SSL_shutdown(ssl.get());
                    return;
                }
            }
        }
    };
}

// Connects and asks for STARTTLS, up to the server's 220.
std::unique_ptr<smtp_stream> up_to_starttls(const std::string& address, const cancellation* cancel = nullptr)
{
    connect_result result;
    auto stream = connect_smtp(address, 25, nullptr, cancel, clock::now() + 2s, result);
    if (!stream)
        return nullptr;
    std::string text;
    const auto until = clock::now() + 2s;
    if (stream->read_reply(text, until) != io_status::ok || stream->send("EHLO probe.test\r\n", until) != io_status::ok ||
        stream->read_reply(text, until) != io_status::ok || text.find("STARTTLS") == std::string::npos ||
        stream->send("STARTTLS\r\n", until) != io_status::ok || stream->read_reply(text, until) != io_status::ok ||
        text != "220 2.0.0 Ready to start TLS\r\n")
        return nullptr;
    return stream;
}

class StartTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(StartTls, EncryptedSessions)
{
    struct row {
        const char* name;
        int max_version;
        const char* server_name;
        std::string injected;
        const char* version;
        const char* sni;
    };
    const row rows[] = {
        {"TLS 1.3 with SNI", 0, "mx.tls.test", "", "TLSv1.3", "mx.tls.test"},
        {"TLS 1.2", TLS1_2_VERSION, "mx.tls.test", "", "TLSv1.2", "mx.tls.test"},
        {"an address sends no SNI", 0, "127.0.0.61", "", "TLSv1.3", ""},
        {"no name, no SNI", 0, "", "", "TLSv1.3", ""},
        // Sent in clear before the handshake: not to be read as the
        // encrypted session's answer.
        {"bytes before the handshake", 0, "mx.tls.test", "250 2.0.0 injected\r\n", "TLSv1.3", "mx.tls.test"},
    };
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        SSL_CTX* ctx = server_context(r.max_version);
        seen record;
        const std::string address = "127.0.0." + std::to_string(61 + n++);
        {
            SmtpPeer peer(address, starttls_server(ctx, after_220::tls, record, r.injected));
            auto stream = up_to_starttls(address);
            ASSERT_TRUE(stream);
            ASSERT_EQ(stream->start_tls(clock::now() + 3s, r.server_name), io_status::ok) << stream->error_text();
            EXPECT_TRUE(stream->encrypted());
            EXPECT_EQ(stream->tls_version(), r.version);
            ASSERT_EQ(stream->send("EHLO probe.test\r\n", clock::now() + 2s), io_status::ok);
            std::string text;
            ASSERT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::ok) << stream->error_text();
            EXPECT_EQ(text, "250-mx.tls.test\r\n250 SIZE 1000\r\n");
            ASSERT_EQ(stream->send("QUIT\r\n", clock::now() + 2s), io_status::ok);
            ASSERT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::ok);
            EXPECT_EQ(text, "221 2.0.0 Bye\r\n");
            // The server's close_notify, or its plain close: either ends it.
            EXPECT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::closed);
            EXPECT_EQ(stream->start_tls(clock::now() + 1s), io_status::failed);
        }
        std::lock_guard lock(record.mutex);
        EXPECT_TRUE(record.handshaken);
        EXPECT_EQ(record.sni, r.sni);
        EXPECT_EQ(record.first_line, "EHLO probe.test\r\n");
        SSL_CTX_free(ctx);
    }
}

TEST_F(StartTls, HandshakesThatDoNotComplete)
{
    SSL_CTX* ctx = server_context(0);
    seen record;
    {
        // A server that goes quiet after its 220: the deadline ends it.
        SmtpPeer peer("127.0.0.70", starttls_server(ctx, after_220::stall, record));
        auto stream = up_to_starttls("127.0.0.70");
        ASSERT_TRUE(stream);
        const auto start = clock::now();
        EXPECT_EQ(stream->start_tls(start + 700ms, "mx.tls.test"), io_status::timeout);
        EXPECT_GE(clock::now() - start, 700ms);
        EXPECT_LT(clock::now() - start, 1200ms);
        EXPECT_FALSE(stream->encrypted());
    }
    {
        // Plain text where a TLS record belongs.
        SmtpPeer peer("127.0.0.71", starttls_server(ctx, after_220::garbage, record));
        auto stream = up_to_starttls("127.0.0.71");
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->start_tls(clock::now() + 2s, "mx.tls.test"), io_status::failed);
        EXPECT_EQ(stream->error_code(), EPROTO);
        EXPECT_NE(stream->error_text().find("TLS handshake"), std::string::npos) << stream->error_text();
        EXPECT_FALSE(stream->encrypted());
        EXPECT_EQ(stream->tls_version(), "");
    }
    {
        // A stop request ends a stalled handshake at once.
        cancellation stop;
        SmtpPeer peer("127.0.0.72", starttls_server(ctx, after_220::stall, record));
        auto stream = up_to_starttls("127.0.0.72", &stop);
        ASSERT_TRUE(stream);
        std::thread stopper([&stop] {
            std::this_thread::sleep_for(200ms);
            stop.request();
        });
        const auto start = clock::now();
        EXPECT_EQ(stream->start_tls(start + 10s, "mx.tls.test"), io_status::cancelled);
        stopper.join();
        EXPECT_LT(clock::now() - start, 700ms);
    }
    SSL_CTX_free(ctx);
}

}  // namespace
}  // namespace verimex::engine
