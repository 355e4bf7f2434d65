// c-ares behind the event loop: the channel, the lookup's outcome, and the
// socket functions that keep c-ares's own descriptors close-on-exec and
// free of SIGPIPE like ours.
#include "platform/posix/resolver.h"

#include <ares.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>

namespace verimex::platform::posix {

namespace {

class ResolverCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "c-ares"; }
    std::string message(int code) const override { return ::ares_strerror(code); }
};

[[noreturn]] void raise(int status, const char* what)
{
    if (status == ARES_ENOMEM)
        throw std::bad_alloc();
    throw std::system_error(status, resolver_category(), what);
}

void init_library_once()
{
    static std::once_flag once;
    static int status = ARES_SUCCESS;
    // Never undone: other parts of the host may use c-ares too, and the
    // process-wide state is tiny.
    std::call_once(once, [] { status = ::ares_library_init(ARES_LIB_INIT_ALL); });
    if (status != ARES_SUCCESS)
        raise(status, "verimex: ares_library_init");
}

// c-ares makes its sockets with socket() and marks them close-on-exec only
// afterwards, and writes to TCP name servers with writev(), which can raise
// SIGPIPE. These replacements do both atomically and quietly.
ares_socket_t open_socket(int family, int type, int protocol, void* resolver)
{
    const ares_socket_t fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        static_cast<Resolver*>(resolver)->socket_failed(errno);
    return fd;
}

int close_socket(ares_socket_t fd, void*)
{
    return ::close(fd);
}

int connect_socket(ares_socket_t fd, const struct sockaddr* address, ares_socklen_t length, void*)
{
    return ::connect(fd, address, length);
}

ares_ssize_t receive_from(ares_socket_t fd, void* buffer, size_t size, int flags, struct sockaddr* from,
                          ares_socklen_t* from_length, void*)
{
    return ::recvfrom(fd, buffer, size, flags, from, from_length);
}

ares_ssize_t send_vector(ares_socket_t fd, const struct iovec* parts, int count, void*)
{
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = static_cast<std::size_t>(count);
    return ::sendmsg(fd, &message, MSG_NOSIGNAL);
}

const ares_socket_functions socket_functions = {
    open_socket, close_socket, connect_socket, receive_from, send_vector,
};

constexpr const char* resolv_conf = "/etc/resolv.conf";

// The resend settings of the system's resolver: "timeout:N" (seconds) and
// "attempts:N" from the file's "options" lines, then from RES_OPTIONS, the
// last word of each kind counting and capped as glibc caps them. c-ares
// 1.18 reads the file's name servers, search list and ndots, but not these
// two: it waited 5 s before asking again, so a query lost by a busy name
// server held its check 5 s where every other program on the machine
// resends after the configured second. 0: not set, c-ares's default holds.
struct ResendSettings {
    int timeout_s = 0;
    int attempts = 0;
};

void read_resend_options(std::string_view words, ResendSettings& settings)
{
    constexpr int longest_timeout_s = 30;  // glibc's RES_MAXRETRANS
    constexpr int most_attempts = 5;       // glibc's RES_MAXRETRY
    auto number = [](std::string_view text) {
        int n = 0;
        for (const char c : text) {
            if (c < '0' || c > '9' || n > 1000)
                break;
            n = n * 10 + (c - '0');
        }
        return n;
    };
    while (!words.empty()) {
        const std::size_t start = words.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            break;
        words.remove_prefix(start);
        const std::size_t end = std::min(words.find_first_of(" \t"), words.size());
        const std::string_view word = words.substr(0, end);
        words.remove_prefix(end);
        if (word.starts_with("timeout:"))
            settings.timeout_s = std::clamp(number(word.substr(8)), 1, longest_timeout_s);
        else if (word.starts_with("attempts:"))
            settings.attempts = std::clamp(number(word.substr(9)), 1, most_attempts);
    }
}

ResendSettings resend_settings()
{
    ResendSettings settings;
    if (std::FILE* file = std::fopen(resolv_conf, "re")) {
        char line[1024];
        while (std::fgets(line, sizeof line, file)) {
            std::string_view text = line;
            if (text.starts_with("options") && text.size() > 7 && (text[7] == ' ' || text[7] == '\t'))
                read_resend_options(text.substr(7, text.find_first_of("\r\n#;") - 7), settings);
        }
        std::fclose(file);
    }
    if (const char* env = std::getenv("RES_OPTIONS"))
        read_resend_options(env, settings);
    return settings;
}

}  // namespace

const std::error_category& resolver_category()
{
    static const ResolverCategory category;
    return category;
}

bool Resolver::ConfigStamp::operator==(const ConfigStamp& other) const
{
    return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

Resolver::ConfigStamp Resolver::config_stamp()
{
    ConfigStamp stamp;
    struct stat st {};
    if (::stat(resolv_conf, &st) == 0) {
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = st.st_mtim;
    }
    return stamp;
}

Resolver::Resolver()
{
    init_library_once();
    open_channel();
}

Resolver::~Resolver()
{
    close_channel();
}

void Resolver::open_channel()
{
    // Taken before c-ares reads the file: a change made while it reads is
    // then seen at the next lookup rather than missed.
    const ConfigStamp stamp = config_stamp();
    ares_channel channel = nullptr;
    // c-ares reads the rest of /etc/resolv.conf (servers, search list) the
    // way the system resolver would; the resend settings are handed over.
    ares_options options{};
    int optmask = 0;
    const ResendSettings resend = resend_settings();
    if (resend.timeout_s > 0) {
        options.timeout = resend.timeout_s * 1000;
        optmask |= ARES_OPT_TIMEOUTMS;
    }
    if (resend.attempts > 0) {
        options.tries = resend.attempts;
        optmask |= ARES_OPT_TRIES;
    }
    const int status = ::ares_init_options(&channel, &options, optmask);
    if (status != ARES_SUCCESS)
        raise(status, "verimex: ares_init_options");
    channel_ = channel;
    config_ = stamp;
    ::ares_set_socket_functions(channel_, &socket_functions, this);
}

void Resolver::close_channel()
{
    // ares_destroy calls back for a running lookup; that outcome is dropped.
    abandoning_ = true;
    ::ares_destroy(std::exchange(channel_, nullptr));
    abandoning_ = false;
    running_ = false;
}

void Resolver::start(const std::string& name)
{
    cancel();
    outcome_.reset();
    local_error_ = 0;
    // NOTE: c-ares 1.18 has no ares_reinit; a fresh channel reads the file
    // again. A stat per lookup costs nothing next to the lookup.
    if (!channel_ || !(config_stamp() == config_)) {
        close_channel();
        open_channel();
    }
    running_ = true;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // c-ares sorts the addresses (RFC 6724), so an unreachable family comes
    // last; that sorting opens its probe sockets through our functions too.
    ::ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, &Resolver::on_addrinfo, this);
}

void Resolver::cancel()
{
    if (!running_)
        return;
    // c-ares calls back at once with ARES_ECANCELLED.
    abandoning_ = true;
    ::ares_cancel(channel_);
    abandoning_ = false;
    running_ = false;
}

void Resolver::collect(std::vector<pollfd>& fds) const
{
    if (!running_)
        return;
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int bits = ::ares_getsock(channel_, sockets, ARES_GETSOCK_MAXNUM);
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(bits, i))
            events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(bits, i))
            events |= POLLOUT;
        if (events == 0)
            break;
        fds.push_back(pollfd{sockets[i], events, 0});
    }
}

int Resolver::timeout_ms() const
{
    if (!running_)
        return -1;
    timeval left{};
    const timeval* next = ::ares_timeout(channel_, nullptr, &left);
    if (!next)
        return -1;
    // Rounded up, so the pass after the sleep finds the timeout expired.
    const long long ms = static_cast<long long>(next->tv_sec) * 1000 + (next->tv_usec + 999) / 1000;
    return static_cast<int>(std::min<long long>(ms, std::numeric_limits<int>::max()));
}

bool Resolver::advance(std::span<const pollfd> polled)
{
    if (!running_)
        return false;
    bool news = false;
    for (const pollfd& p : polled) {
        if (p.revents == 0)
            continue;
        news = true;
        const bool readable = (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool writable = (p.revents & POLLOUT) != 0;
        ::ares_process_fd(channel_, readable ? p.fd : ARES_SOCKET_BAD, writable ? p.fd : ARES_SOCKET_BAD);
        // The lookup may have ended, and c-ares closed the other descriptors.
        if (!running_)
            return true;
    }
    // Nothing to read: still let c-ares resend or give up on its timeouts.
    if (!news)
        ::ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    return news || !running_;
}

void Resolver::socket_failed(int error)
{
    // Out of descriptors or memory is our side's failure: c-ares would
    // report it as a server that cannot be reached, and the name as one
    // that cannot be resolved. A family this machine lacks is not.
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
        local_error_ = error;
}

std::optional<Resolver::Outcome> Resolver::take_outcome()
{
    if (const int error = std::exchange(local_error_, 0); error != 0) {
        cancel();
        outcome_.reset();
        throw std::system_error(error, std::generic_category(), "verimex: socket for the name lookup");
    }
    return std::exchange(outcome_, std::nullopt);
}

void Resolver::on_addrinfo(void* arg, int status, int, ::ares_addrinfo* result)
{
    auto* self = static_cast<Resolver*>(arg);
    if (self->abandoning_ || !self->running_) {
        ::ares_freeaddrinfo(result);
        return;
    }
    Outcome outcome;
    if (status == ARES_SUCCESS && result) {
        for (const ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
            if ((node->ai_family != AF_INET && node->ai_family != AF_INET6) || !node->ai_addr ||
                node->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            Address address;
            std::memcpy(&address.storage, node->ai_addr, node->ai_addrlen);
            address.length = static_cast<socklen_t>(node->ai_addrlen);
            outcome.addresses.push_back(address);
        }
        outcome.found = !outcome.addresses.empty();
    }
    ::ares_freeaddrinfo(result);
    self->outcome_ = std::move(outcome);
    self->running_ = false;
}

}  // namespace verimex::platform::posix
