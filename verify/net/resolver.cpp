// Finding mail exchangers and addresses in process. c-ares 1.18's channels
// are not thread-safe, so one resolver thread owns them all (one channel
// per DNS server setting); callers hand their questions to it and wait on
// an eventfd of their own beside the stop request and their deadline, so
// hundreds of checks at once cost one thread and a few sockets.
//
// Every question passes through resolver_service::start(): the one place
// where a resolution cache (answers kept for their TTL, identical questions
// in flight joined) belongs.
#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/fd.h"
#include "verify/net.h"
#include "verify/net/wait.h"

namespace verimex::engine {

namespace {

using platform::posix::Fd;

// Each try waits this long for its answer. c-ares makes one try per
// question; the tries after it are ours (see on_answer), so that every
// unanswered one is counted and a question is asked again until the
// caller's deadline, however long that is.
constexpr int try_timeout_ms = 1000;
// A DNS server that refuses at once (nothing on its port) or fails
// (SERVFAIL) is asked again only after this pause, so the tries do not spin.
constexpr auto retry_pause = std::chrono::milliseconds(250);
// SERVFAIL is an answer, but often a passing one (an upstream that was
// slow): asked again this many times.
constexpr unsigned servfail_retries = 1;
// How often the system's resolver configuration is looked at for changes.
constexpr auto resolv_conf_check = std::chrono::seconds(1);
constexpr const char* resolv_conf = "/etc/resolv.conf";
// Addresses taken from one A or AAAA answer.
constexpr int max_addresses = 32;
// PTR names or TXT records taken from one answer: a peer's answer may hold
// any number, and a few are all any caller looks at.
constexpr std::size_t max_records = 32;

struct outcome {
    int status = ARES_ENOTINITIALIZED;  // c-ares's, of the last try
    int error = 0;  // errno when no socket could be had (EMFILE...)
    std::vector<mx_host> mx;
    std::vector<std::string> addresses;
    std::vector<std::string> records;  // PTR names, TXT records
};

// One question, shared by its caller and the resolver thread. The members
// after `until` are guarded by the service's mutex.
struct question {
    std::string server;  // "ADDR:PORT" or "[V6]:PORT"; "" the system's resolver
    std::string name;
    int type = ns_t_mx;
    deadline until;

    bool done = false;
    bool abandoned = false;  // the caller stopped waiting
    int waiter = -1;         // the caller's eventfd, written when done
    unsigned timed_out = 0;  // tries that ended without any answer
    unsigned servfails = 0;
    outcome result;
};
using question_ptr = std::shared_ptr<question>;

std::string strerror_text(int error)
{
    return std::system_category().message(error);
}

void add_record(outcome& out, std::string record)
{
    if (out.records.size() < max_records &&
        std::find(out.records.begin(), out.records.end(), record) == out.records.end())
        out.records.push_back(std::move(record));
}

// PTR: every name, without its final dot. TXT: one entry per record, its
// character strings joined without a separator, as RFC 7208 section 3.3
// reads a record split into several.
void parse_records(int type, const unsigned char* answer, int length, outcome& out)
{
    if (type == ns_t_ptr) {
        // c-ares copies the address into the hostent it makes; this one
        // is never read, since the question's name is what was asked.
        const unsigned char unused[16] = {};
        hostent* host = nullptr;
        out.status = ::ares_parse_ptr_reply(answer, length, unused, 4, AF_INET, &host);
        if (out.status != ARES_SUCCESS)
            return;
        const auto add_name = [&out](const char* name) {
            std::string text = name != nullptr ? name : "";
            while (!text.empty() && text.back() == '.')
                text.pop_back();
            if (!text.empty())
                add_record(out, std::move(text));
        };
        add_name(host->h_name);
        for (char** alias = host->h_aliases; alias != nullptr && *alias != nullptr; ++alias)
            add_name(*alias);
        ::ares_free_hostent(host);
    } else {
        ares_txt_ext* chunks = nullptr;
        out.status = ::ares_parse_txt_reply_ext(answer, length, &chunks);
        if (out.status != ARES_SUCCESS)
            return;
        std::string record;
        bool open = false;
        for (const ares_txt_ext* c = chunks; c != nullptr; c = c->next) {
            if (c->record_start && open) {
                add_record(out, std::move(record));
                record.clear();
            }
            open = true;
            record.append(reinterpret_cast<const char*>(c->txt), c->length);
        }
        if (open)
            add_record(out, std::move(record));
        ::ares_free_data(chunks);
    }
    if (out.status == ARES_SUCCESS && out.records.empty())
        out.status = ARES_ENODATA;
}

void parse_answer(int type, const unsigned char* answer, int length, outcome& out)
{
    if (type == ns_t_mx) {
        ares_mx_reply* records = nullptr;
        out.status = ::ares_parse_mx_reply(answer, length, &records);
        if (out.status != ARES_SUCCESS)
            return;
        for (const ares_mx_reply* r = records; r != nullptr; r = r->next) {
            std::string host = r->host != nullptr ? r->host : "";
            while (!host.empty() && host.back() == '.')
                host.pop_back();
            out.mx.push_back({std::move(host), r->priority});
        }
        ::ares_free_data(records);
        if (out.mx.empty())
            out.status = ARES_ENODATA;
        return;
    }
    if (type == ns_t_ptr || type == ns_t_txt) {
        parse_records(type, answer, length, out);
        return;
    }
    char text[INET6_ADDRSTRLEN];
    if (type == ns_t_a) {
        ares_addrttl found[max_addresses];
        int count = max_addresses;
        out.status = ::ares_parse_a_reply(answer, length, nullptr, found, &count);
        for (int i = 0; out.status == ARES_SUCCESS && i < count; ++i)
            if (::inet_ntop(AF_INET, &found[i].ipaddr, text, sizeof text) != nullptr)
                out.addresses.emplace_back(text);
    } else {
        ares_addr6ttl found[max_addresses];
        int count = max_addresses;
        out.status = ::ares_parse_aaaa_reply(answer, length, nullptr, found, &count);
        for (int i = 0; out.status == ARES_SUCCESS && i < count; ++i)
            if (::inet_ntop(AF_INET6, &found[i].ip6addr, text, sizeof text) != nullptr)
                out.addresses.emplace_back(text);
    }
    if (out.status == ARES_SUCCESS && out.addresses.empty())
        out.status = ARES_ENODATA;
}

class resolver_service {
public:
    // The one service of the process, started on first use. Throws
    // std::system_error when its thread or eventfd cannot be had.
    static resolver_service& get()
    {
        static resolver_service service;
        return service;
    }

    resolver_service(const resolver_service&) = delete;
    resolver_service& operator=(const resolver_service&) = delete;

    // From any thread: the resolver thread takes it up at once.
    void submit(question_ptr q)
    {
        {
            std::lock_guard lock(mutex);
            pending_.push_back(std::move(q));
        }
        wake();
    }

    // Guards every question's shared members.
    std::mutex mutex;

private:
    struct channel_entry {
        resolver_service* service = nullptr;
        ares_channel channel = nullptr;
        unsigned queries = 0;  // tries in flight on it
        // errno of the last socket that could not be made, until one is:
        // c-ares reports that as an unreachable server.
        int socket_error = 0;
        // The resolver configuration it was made from (system channel only).
        struct stat conf {};
        bool conf_found = false;
        ~channel_entry()
        {
            // Calls back every try still in flight with ARES_EDESTRUCTION.
            if (channel != nullptr)
                ::ares_destroy(channel);
            // Its sockets are closed now, whether or not c-ares said so.
            std::erase_if(service->sockets_, [this](const auto& s) { return s.second.entry == this; });
        }
    };
    struct try_arg {
        resolver_service* service;
        question_ptr q;
        channel_entry* entry;
    };
    struct retry {
        clock::time_point when;
        question_ptr q;
    };
    struct watched {
        channel_entry* entry;
        short events;
    };

    resolver_service()
    {
        static std::once_flag once;
        static int status = ARES_SUCCESS;
        std::call_once(once, [] { status = ::ares_library_init(ARES_LIB_INIT_ALL); });
        if (status != ARES_SUCCESS)
            throw std::system_error(ENOMEM, std::generic_category(), "verimex: ares_library_init");
        wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_)
            throw std::system_error(errno, std::generic_category(), "verimex: eventfd for the resolver");
        thread_ = std::thread([this] { run(); });
    }

    ~resolver_service()
    {
        {
            std::lock_guard lock(mutex);
            stopping_ = true;
        }
        wake();
        if (thread_.joinable())
            thread_.join();
    }

    void wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    void complete(const question_ptr& q, outcome result)
    {
        std::lock_guard lock(mutex);
        q->result = std::move(result);
        q->done = true;
        if (q->waiter >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(q->waiter, &one, sizeof one);
        }
    }

    // c-ares makes its sockets with socket() and marks them close-on-exec
    // only afterwards (a child process started meanwhile, as the
    // component's lookups are, would inherit them), and writes to TCP name
    // servers with writev(), which can raise SIGPIPE. These do both
    // atomically and quietly.
    static ares_socket_t open_socket(int family, int type, int protocol, void* data)
    {
        auto* entry = static_cast<channel_entry*>(data);
        const ares_socket_t fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
        entry->socket_error = fd < 0 ? errno : 0;
        return fd;
    }
    static int close_socket(ares_socket_t fd, void*) { return ::close(fd); }
    static int connect_socket(ares_socket_t fd, const sockaddr* address, ares_socklen_t length, void*)
    {
        return ::connect(fd, address, length);
    }
    static ares_ssize_t receive_from(ares_socket_t fd, void* buffer, size_t size, int flags, sockaddr* from,
                                     ares_socklen_t* from_length, void*)
    {
        return ::recvfrom(fd, buffer, size, flags, from, from_length);
    }
    static ares_ssize_t send_vector(ares_socket_t fd, const iovec* parts, int count, void*)
    {
        msghdr message{};
        message.msg_iov = const_cast<iovec*>(parts);
        message.msg_iovlen = static_cast<std::size_t>(count);
        return ::sendmsg(fd, &message, MSG_NOSIGNAL);
    }
    static constexpr ares_socket_functions socket_functions = {
        open_socket, close_socket, connect_socket, receive_from, send_vector,
    };

    static void on_socket_state(void* data, ares_socket_t fd, int readable, int writable)
    {
        auto* entry = static_cast<channel_entry*>(data);
        auto& sockets = entry->service->sockets_;
        if (!readable && !writable) {
            sockets.erase(fd);
            return;
        }
        sockets[fd] = {entry, static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0))};
    }

    // The channel for a server setting; null when none can be made, with
    // c-ares's status, and errno when it ran short of files or memory.
    channel_entry* channel_for(const std::string& server, int& error, int& os_error)
    {
        auto it = channels_.find(server);
        if (it != channels_.end() && server.empty() && clock::now() - conf_checked_ >= resolv_conf_check) {
            // A long-running host must not miss a changed name server: a
            // changed file gets a fresh channel, the old one finishes the
            // tries it has in flight.
            conf_checked_ = clock::now();
            struct stat now_conf {};
            const bool found = ::stat(resolv_conf, &now_conf) == 0;
            const channel_entry& e = *it->second;
            if (found != e.conf_found ||
                (found && (now_conf.st_ino != e.conf.st_ino || now_conf.st_size != e.conf.st_size ||
                           now_conf.st_mtim.tv_sec != e.conf.st_mtim.tv_sec ||
                           now_conf.st_mtim.tv_nsec != e.conf.st_mtim.tv_nsec))) {
                retired_.push_back(std::move(it->second));
                channels_.erase(it);
                it = channels_.end();
            }
        }
        if (it != channels_.end())
            return it->second.get();

        auto entry = std::make_unique<channel_entry>();
        entry->service = this;
        if (server.empty()) {
            entry->conf_found = ::stat(resolv_conf, &entry->conf) == 0;
            conf_checked_ = clock::now();
        }
        ares_options opts{};
        opts.timeout = try_timeout_ms;
        opts.tries = 1;
        // Without it c-ares reports a SERVFAIL or REFUSED answer as if the
        // server could not be reached (ECONNREFUSED); with it, the answer's
        // own code comes through and on_answer decides.
        opts.flags = ARES_FLAG_NOCHECKRESP;
        // Hundreds of answers can arrive at once, all on one UDP socket:
        // room for them, so a burst is not itself the lost packet (the
        // kernel caps it at net.core.rmem_max).
        opts.socket_receive_buffer_size = 1 << 20;
        opts.sock_state_cb = &on_socket_state;
        opts.sock_state_cb_data = entry.get();
        const int mask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS | ARES_OPT_SOCK_RCVBUF |
                         ARES_OPT_SOCK_STATE_CB;
        errno = 0;
        int status = ::ares_init_options(&entry->channel, &opts, mask);
        if (status == ARES_EFILE || status == ARES_ENOMEM)
            os_error = errno;
        if (status == ARES_SUCCESS && !server.empty())
            status = ::ares_set_servers_ports_csv(entry->channel, server.c_str());
        if (status == ARES_SUCCESS)
            ::ares_set_socket_functions(entry->channel, &socket_functions, entry.get());
        if (status != ARES_SUCCESS) {
            error = status;
            return nullptr;
        }
        channel_entry* made = entry.get();
        channels_.emplace(server, std::move(entry));
        return made;
    }

    // NOTE: the place for a resolution cache: answer q from it, or join it
    // to an identical question in flight, before it reaches c-ares.
    void start(const question_ptr& q)
    {
        int error = ARES_SUCCESS;
        int os_error = 0;
        channel_entry* entry = channel_for(q->server, error, os_error);
        if (entry == nullptr) {
            outcome failed;
            failed.status = error;
            failed.error = os_error;
            complete(q, std::move(failed));
            return;
        }
        ++entry->queries;
        ::ares_query(entry->channel, q->name.c_str(), ns_c_in, q->type, &resolver_service::on_answer,
                     new try_arg{this, q, entry});
    }

    static void on_answer(void* arg, int status, int, unsigned char* answer, int length)
    {
        const std::unique_ptr<try_arg> t(static_cast<try_arg*>(arg));
        resolver_service& self = *t->service;
        --t->entry->queries;
        const question_ptr& q = t->q;
        if (status == ARES_ECONNREFUSED && t->entry->socket_error != 0) {
            // Not the server: this process is short of descriptors, and
            // asking again would not change that.
            outcome failed;
            failed.status = status;
            failed.error = t->entry->socket_error;
            self.complete(q, std::move(failed));
            return;
        }
        // No answer at all (a lost packet, a server that is down) is asked
        // again while the caller still waits: one dropped datagram must
        // not decide a check. A SERVFAIL is asked again once.
        const bool unanswered = status == ARES_ETIMEOUT || status == ARES_ECONNREFUSED;
        if (unanswered || status == ARES_ESERVFAIL) {
            const auto now = clock::now();
            bool again = false;
            {
                std::lock_guard lock(self.mutex);
                if (unanswered)
                    ++q->timed_out;
                const bool allowed = unanswered || q->servfails++ < servfail_retries;
                again = allowed && !q->abandoned && !self.stopping_ && now < q->until;
            }
            if (again) {
                const auto when = status == ARES_ETIMEOUT ? now : std::min(now + retry_pause, q->until);
                self.retries_.push_back({when, q});
                return;
            }
        }
        outcome result;
        result.status = status;
        if (status == ARES_SUCCESS)
            parse_answer(q->type, answer, length, result);
        self.complete(q, std::move(result));
    }

    int next_timeout_ms() const
    {
        int ms = -1;
        const auto consider = [&ms](int candidate) {
            if (candidate >= 0 && (ms < 0 || candidate < ms))
                ms = candidate;
        };
        const auto consider_channel = [&consider](const channel_entry& entry) {
            timeval left{};
            if (::ares_timeout(entry.channel, nullptr, &left) != nullptr)
                consider(static_cast<int>(left.tv_sec * 1000 + (left.tv_usec + 999) / 1000));
        };
        for (const auto& [key, entry] : channels_)
            consider_channel(*entry);
        for (const auto& entry : retired_)
            consider_channel(*entry);
        for (const retry& r : retries_)
            consider(net::poll_ms(r.when));
        return ms;
    }

    void run()
    {
        std::vector<pollfd> fds;
        std::vector<channel_entry*> owners;
        for (;;) {
            std::vector<question_ptr> taken;
            {
                std::lock_guard lock(mutex);
                if (stopping_)
                    break;
                taken.swap(pending_);
            }
            for (const question_ptr& q : taken)
                start(q);

            fds.assign(1, pollfd{wake_.get(), POLLIN, 0});
            owners.assign(1, nullptr);
            for (const auto& [fd, w] : sockets_) {
                fds.push_back({fd, w.events, 0});
                owners.push_back(w.entry);
            }
            if (::poll(fds.data(), fds.size(), next_timeout_ms()) < 0 && errno != EINTR) {
                // Nothing to do about a failing poll but not to spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (fds[0].revents != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                // A socket an earlier call closed is no longer c-ares's;
                // it ignores a descriptor it does not know.
                const bool in = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
                const bool out = (fds[i].revents & POLLOUT) != 0;
                ::ares_process_fd(owners[i]->channel, in ? fds[i].fd : ARES_SOCKET_BAD,
                                  out ? fds[i].fd : ARES_SOCKET_BAD);
            }
            // Tries whose time is up, on every channel.
            for (const auto& [key, entry] : channels_)
                ::ares_process_fd(entry->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            for (const auto& entry : retired_)
                ::ares_process_fd(entry->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);

            const auto now = clock::now();
            std::vector<retry> due;
            for (auto it = retries_.begin(); it != retries_.end();) {
                if (it->when <= now) {
                    due.push_back(std::move(*it));
                    it = retries_.erase(it);
                } else {
                    ++it;
                }
            }
            for (retry& r : due)
                start(r.q);

            std::erase_if(retired_, [](const std::unique_ptr<channel_entry>& e) { return e->queries == 0; });
        }
        // Stopping (the process is ending): every question still open is
        // answered, so no caller waits for nothing.
        channels_.clear();
        retired_.clear();
        outcome gone;
        gone.status = ARES_EDESTRUCTION;
        for (retry& r : retries_)
            complete(r.q, gone);
        retries_.clear();
        std::vector<question_ptr> left;
        {
            std::lock_guard lock(mutex);
            left.swap(pending_);
        }
        for (const question_ptr& q : left)
            complete(q, gone);
    }

    Fd wake_;
    bool stopping_ = false;                 // guarded by mutex
    std::vector<question_ptr> pending_;     // guarded by mutex
    // The rest belongs to the resolver thread alone.
    std::map<std::string, std::unique_ptr<channel_entry>> channels_;
    std::vector<std::unique_ptr<channel_entry>> retired_;
    std::map<ares_socket_t, watched> sockets_;
    std::vector<retry> retries_;
    clock::time_point conf_checked_{};
    std::thread thread_;
};

enum class waited { answered, timeout, cancelled, failed };

// Asks the questions at once and waits until all are answered, the
// deadline passes or the stop request comes. Questions not answered by then
// are abandoned; those that were keep their answers.
waited ask(std::span<const question_ptr> questions, const cancellation* cancel, deadline until, int& error)
{
    // One eventfd per calling thread, kept for its next lookups: a wake
    // left over from an earlier question only makes the loop look again.
    thread_local Fd waiter;
    if (!waiter) {
        waiter = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!waiter) {
            error = errno;
            return waited::failed;
        }
    }
    resolver_service* service = nullptr;
    try {
        service = &resolver_service::get();
    } catch (const std::system_error& e) {
        error = e.code().value();
        return waited::failed;
    }
    for (const question_ptr& q : questions) {
        q->until = until;
        q->waiter = waiter.get();
        service->submit(q);
    }
    const auto give_up = [&](waited why) {
        std::lock_guard lock(service->mutex);
        for (const question_ptr& q : questions) {
            q->waiter = -1;
            q->abandoned = true;
        }
        return why;
    };
    for (;;) {
        {
            std::lock_guard lock(service->mutex);
            if (std::all_of(questions.begin(), questions.end(), [](const question_ptr& q) { return q->done; })) {
                for (const question_ptr& q : questions)
                    q->waiter = -1;
                return waited::answered;
            }
        }
        int wait_error = 0;
        switch (net::wait_for(waiter.get(), POLLIN, cancel, until, wait_error)) {
        case net::wait_result::ready: {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(waiter.get(), &count, sizeof count);
            break;
        }
        case net::wait_result::timeout:
            return give_up(waited::timeout);
        case net::wait_result::cancelled:
            return give_up(waited::cancelled);
        case net::wait_result::failed:
            error = wait_error;
            return give_up(waited::failed);
        }
    }
}

// "ADDR", "ADDR:PORT", "V6" or "[V6]:PORT" to c-ares's "ADDR:PORT" /
// "[V6]:PORT"; false for anything else.
bool server_setting(std::string_view text, std::string& out)
{
    out.clear();
    if (text.empty())
        return true;
    std::string host;
    std::string port = "53";
    const auto numeric_port = [](std::string_view p) {
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        const int value = std::stoi(std::string(p));
        return value >= 1 && value <= 65535;
    };
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':' || !numeric_port(rest.substr(1)))
                return false;
            port = rest.substr(1);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (!numeric_port(text.substr(colon + 1)))
            return false;
        port = text.substr(colon + 1);
    } else {
        host = text;
    }
    unsigned char bytes[16];
    if (::inet_pton(AF_INET, host.c_str(), bytes) == 1)
        out = host + ":" + port;
    else if (::inet_pton(AF_INET6, host.c_str(), bytes) == 1)
        out = "[" + host + "]:" + port;
    else
        return false;
    return true;
}

question_ptr make_question(const std::string& server, std::string_view name, int type)
{
    auto q = std::make_shared<question>();
    q->server = server;
    q->name = name;
    q->type = type;
    return q;
}

const char* type_name(int type)
{
    switch (type) {
    case ns_t_mx:
        return "MX";
    case ns_t_a:
        return "A";
    case ns_t_aaaa:
        return "AAAA";
    case ns_t_ptr:
        return "PTR";
    default:
        return "TXT";
    }
}

std::string failure_text(const question& q)
{
    std::string text = std::string(type_name(q.type)) + " " + q.name + ": ";
    if (q.done && q.result.error != 0)
        return text + "resolver: " + strerror_text(q.result.error);
    if (q.result.status == ARES_ETIMEOUT || q.result.status == ARES_ECONNREFUSED || !q.done)
        return text + "no answer from the DNS server (" + std::to_string(q.timed_out) + " tries)";
    return text + ::ares_strerror(q.result.status);
}

bool is_failure(int status)
{
    return status != ARES_SUCCESS && status != ARES_ENODATA && status != ARES_ENOTFOUND;
}

// A and AAAA of name, asked at once; nxdomain tells a name that does not
// exist from one without addresses.
host_answer addresses_of(const std::string& server, std::string_view name, const cancellation* cancel,
                         deadline until, bool& nxdomain)
{
    host_answer answer;
    nxdomain = false;
    const question_ptr both[2] = {make_question(server, name, ns_t_a), make_question(server, name, ns_t_aaaa)};
    int error = 0;
    const waited how = ask(both, cancel, until, error);
    if (how == waited::failed) {
        answer.result = host_answer::status::dns_error;
        answer.error_code = error;
        answer.detail = "resolver: " + strerror_text(error);
        return answer;
    }
    if (how == waited::cancelled) {
        answer.result = host_answer::status::cancelled;
        return answer;
    }
    // Guarded reads: a question abandoned at the deadline may still be
    // answered by the resolver thread meanwhile.
    std::lock_guard lock(resolver_service::get().mutex);
    bool failed = false;
    bool unanswered = false;
    for (const question_ptr& q : both) {
        if (!q->done) {
            unanswered = true;
            if (q->timed_out > 0)
                failed = true;
            if (answer.detail.empty())
                answer.detail = failure_text(*q);
            continue;
        }
        for (const std::string& a : q->result.addresses)
            answer.addresses.push_back(a);
        if (is_failure(q->result.status)) {
            failed = true;
            if (answer.error_code == 0)
                answer.error_code = q->result.error;
            if (answer.detail.empty())
                answer.detail = failure_text(*q);
        }
    }
    if (!answer.addresses.empty()) {
        answer.result = host_answer::status::ok;
    } else if (failed) {
        answer.result = host_answer::status::dns_error;
    } else if (unanswered) {
        answer.result = host_answer::status::timeout;
        answer.detail = std::string(name) + ": the time limit ran out before the DNS server answered";
    } else {
        answer.result = host_answer::status::none;
        nxdomain = both[0]->result.status == ARES_ENOTFOUND || both[1]->result.status == ARES_ENOTFOUND;
        answer.detail = std::string(name) + (nxdomain ? ": no such domain (NXDOMAIN)" : ": no address records");
    }
    return answer;
}

std::string without_final_dot(std::string_view name)
{
    while (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return std::string(name);
}

}  // namespace

mx_answer lookup_mx(std::string_view domain_text, const resolve_settings& settings, deadline until)
{
    mx_answer answer;
    if (net::stop_requested(settings.cancel)) {
        answer.result = mx_answer::status::cancelled;
        return answer;
    }
    std::string server;
    if (!server_setting(settings.dns_server, server)) {
        answer.result = mx_answer::status::dns_error;
        answer.detail = "not a DNS server address: " + settings.dns_server;
        return answer;
    }
    const std::string domain = without_final_dot(domain_text);
    const question_ptr mx[1] = {make_question(server, domain, ns_t_mx)};
    int error = 0;
    const waited how = ask(mx, settings.cancel, until, error);
    if (how == waited::failed) {
        answer.result = mx_answer::status::dns_error;
        answer.error_code = error;
        answer.detail = "resolver: " + strerror_text(error);
        return answer;
    }
    if (how == waited::cancelled) {
        answer.result = mx_answer::status::cancelled;
        return answer;
    }
    outcome result;
    {
        std::lock_guard lock(resolver_service::get().mutex);
        const question& q = *mx[0];
        if (!q.done) {
            // Tries that went unanswered say the DNS server is failing; a
            // deadline that came before any try ended says only that time
            // ran out.
            answer.result = q.timed_out > 0 ? mx_answer::status::dns_error : mx_answer::status::timeout;
            answer.detail = q.timed_out > 0 ? failure_text(q)
                                            : "MX " + domain + ": the time limit ran out before the DNS server answered";
            return answer;
        }
        if (is_failure(q.result.status)) {
            answer.result = mx_answer::status::dns_error;
            answer.error_code = q.result.error;
            answer.detail = failure_text(q);
            return answer;
        }
        result = q.result;
    }
    if (result.status == ARES_ENOTFOUND) {
        answer.result = mx_answer::status::nxdomain;
        answer.detail = domain + ": no such domain (NXDOMAIN)";
        return answer;
    }
    if (result.status == ARES_SUCCESS) {
        // RFC 7505: a single record for the root, "MX 0 .", says the domain
        // takes no mail. Beside other records it is a mistake, and left out.
        const bool all_null = std::all_of(result.mx.begin(), result.mx.end(),
                                          [](const mx_host& h) { return h.name.empty(); });
        if (all_null) {
            answer.result = mx_answer::status::null_mx;
            answer.detail = domain + ": null MX (the domain takes no mail)";
            return answer;
        }
        std::erase_if(result.mx, [](const mx_host& h) { return h.name.empty(); });
        std::stable_sort(result.mx.begin(), result.mx.end(),
                         [](const mx_host& a, const mx_host& b) { return a.preference < b.preference; });
        answer.result = mx_answer::status::ok;
        answer.hosts = std::move(result.mx);
        return answer;
    }
    // No MX record: the domain itself is the mail exchanger when it has an
    // address (RFC 5321 section 5.1).
    bool nxdomain = false;
    const host_answer own = addresses_of(server, domain, settings.cancel, until, nxdomain);
    answer.detail = own.detail;
    answer.error_code = own.error_code;
    switch (own.result) {
    case host_answer::status::ok:
        answer.result = mx_answer::status::implicit;
        answer.hosts.push_back({domain, 0});
        answer.detail.clear();
        break;
    case host_answer::status::none:
        answer.result = nxdomain ? mx_answer::status::nxdomain : mx_answer::status::no_host;
        break;
    case host_answer::status::dns_error:
        answer.result = mx_answer::status::dns_error;
        break;
    case host_answer::status::timeout:
        answer.result = mx_answer::status::timeout;
        break;
    case host_answer::status::cancelled:
        answer.result = mx_answer::status::cancelled;
        break;
    }
    return answer;
}

host_answer lookup_host(std::string_view host_text, const resolve_settings& settings, deadline until)
{
    host_answer answer;
    if (net::stop_requested(settings.cancel)) {
        answer.result = host_answer::status::cancelled;
        return answer;
    }
    std::string host = without_final_dot(host_text);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char bytes[16];
    char text[INET6_ADDRSTRLEN];
    if (::inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
        (::inet_pton(AF_INET6, host.c_str(), bytes) == 1 &&
         ::inet_ntop(AF_INET6, bytes, text, sizeof text) != nullptr && (host = text, true))) {
        answer.result = host_answer::status::ok;
        answer.addresses.push_back(host);
        return answer;
    }
    std::string server;
    if (!server_setting(settings.dns_server, server)) {
        answer.result = host_answer::status::dns_error;
        answer.detail = "not a DNS server address: " + settings.dns_server;
        return answer;
    }
    bool nxdomain = false;
    return addresses_of(server, host, settings.cancel, until, nxdomain);
}

std::vector<record_answer> lookup_records(std::span<const record_question> asked, const resolve_settings& settings,
                                          deadline until)
{
    std::vector<record_answer> answers(asked.size());
    const auto all = [&answers](record_answer::status s, const std::string& detail, int error = 0) {
        for (record_answer& a : answers) {
            a.result = s;
            a.detail = detail;
            a.error_code = error;
        }
        return answers;
    };
    if (asked.empty())
        return answers;
    if (net::stop_requested(settings.cancel))
        return all(record_answer::status::cancelled, "");
    std::string server;
    if (!server_setting(settings.dns_server, server))
        return all(record_answer::status::dns_error, "not a DNS server address: " + settings.dns_server);
    std::vector<question_ptr> questions;
    questions.reserve(asked.size());
    for (const record_question& r : asked) {
        static constexpr int types[] = {ns_t_a, ns_t_aaaa, ns_t_ptr, ns_t_txt};
        questions.push_back(make_question(server, without_final_dot(r.name), types[static_cast<int>(r.type)]));
    }
    int error = 0;
    const waited how = ask(questions, settings.cancel, until, error);
    if (how == waited::failed)
        return all(record_answer::status::dns_error, "resolver: " + strerror_text(error), error);
    if (how == waited::cancelled)
        return all(record_answer::status::cancelled, "");
    // Guarded reads, as in addresses_of: an abandoned question may still be
    // answered meanwhile.
    std::lock_guard lock(resolver_service::get().mutex);
    for (std::size_t i = 0; i < questions.size(); ++i) {
        const question& q = *questions[i];
        record_answer& a = answers[i];
        if (!q.done) {
            a.result = q.timed_out > 0 ? record_answer::status::dns_error : record_answer::status::timeout;
            a.detail = q.timed_out > 0 ? failure_text(q)
                                       : std::string(type_name(q.type)) + " " + q.name +
                                             ": the time limit ran out before the DNS server answered";
        } else if (q.result.status == ARES_SUCCESS) {
            a.result = record_answer::status::ok;
            a.records = q.type == ns_t_a || q.type == ns_t_aaaa ? q.result.addresses : q.result.records;
        } else if (q.result.status == ARES_ENOTFOUND) {
            a.result = record_answer::status::nxdomain;
            a.detail = q.name + ": no such domain (NXDOMAIN)";
        } else if (q.result.status == ARES_ENODATA) {
            a.result = record_answer::status::no_records;
            a.detail = q.name + ": no " + type_name(q.type) + " records";
        } else {
            a.result = record_answer::status::dns_error;
            a.detail = failure_text(q);
        }
    }
    return answers;
}

}  // namespace verimex::engine
