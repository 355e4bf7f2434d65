// verimex_link_delay: a wide-area link made of loopback, for the benches.
//
//   verimex_link_delay QUEUE ONE_WAY_MS
//
// Takes the packets an iptables NFQUEUE rule sends to queue QUEUE, holds
// each for ONE_WAY_MS and then lets it go, in the order they came. With
//
//   iptables -t mangle -A OUTPUT -o lo -j NFQUEUE --queue-num QUEUE
//
// every packet on loopback passes it once, so a round trip takes twice the
// delay: what `tc qdisc add dev lo root netem delay ONE_WAY_MS` does, for
// kernels built without netem. Prints "ready" on standard output once the
// queue is bound, then runs until it is killed. Talks to the kernel over
// netlink directly (nfnetlink_queue), asking only for each packet's id.
#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

// Builds one nfnetlink message: header, nfgenmsg, then attributes.
class Message {
public:
    Message(std::uint16_t type, std::uint16_t flags, std::uint16_t queue)
    {
        bytes_.resize(NLMSG_LENGTH(sizeof(nfgenmsg)));
        auto* h = header();
        h->nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_QUEUE << 8) | type);
        h->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
        h->nlmsg_seq = ++sequence;
        auto* g = reinterpret_cast<nfgenmsg*>(NLMSG_DATA(h));
        g->nfgen_family = AF_UNSPEC;
        g->version = NFNETLINK_V0;
        g->res_id = htons(queue);
        h->nlmsg_len = static_cast<std::uint32_t>(bytes_.size());
    }
    template <typename T>
    void attribute(std::uint16_t type, const T& value)
    {
        const std::size_t at = NLMSG_ALIGN(bytes_.size());
        const std::size_t length = NLA_HDRLEN + sizeof value;
        bytes_.resize(at + NLA_ALIGN(length));
        nlattr a{};
        a.nla_len = static_cast<std::uint16_t>(length);
        a.nla_type = type;
        std::memcpy(bytes_.data() + at, &a, sizeof a);
        std::memcpy(bytes_.data() + at + NLA_HDRLEN, &value, sizeof value);
        header()->nlmsg_len = static_cast<std::uint32_t>(bytes_.size());
    }
    void send(int fd) const
    {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd, bytes_.data(), bytes_.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
                     sizeof kernel) < 0)
            fail(errno, "netlink send");
    }

private:
    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(bytes_.data()); }
    static inline std::uint32_t sequence = 0;
    // nlmsghdr alignment: the buffer is only ever read through these casts.
    std::vector<char> bytes_;
};

// Waits for the kernel's answer to a request sent with NLM_F_ACK.
void expect_ack(int fd, const char* what)
{
    alignas(nlmsghdr) char buffer[8192];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0)
        fail(errno, what);
    auto* h = reinterpret_cast<nlmsghdr*>(buffer);
    if (!NLMSG_OK(h, static_cast<std::uint32_t>(n)) || h->nlmsg_type != NLMSG_ERROR)
        throw std::runtime_error(std::string(what) + ": unexpected answer from the kernel");
    const auto* e = reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(h));
    if (e->error != 0)
        fail(-e->error, what);
}

struct Held {
    std::uint32_t id;
    Clock::time_point due;
};

// Takes every queued-packet notice waiting on the socket.
void take_packets(int fd, std::deque<Held>& held, Clock::duration delay)
{
    alignas(nlmsghdr) static char buffer[256 * 1024];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // ENOBUFS: notices were lost; those packets wait for the
            // kernel's own retransmission. Nothing else to do about it.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
                return;
            fail(errno, "netlink recv");
        }
        const auto now = Clock::now();
        auto left = static_cast<std::uint32_t>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET))
                continue;
            const char* data = static_cast<const char*>(NLMSG_DATA(h)) + NLMSG_ALIGN(sizeof(nfgenmsg));
            const char* end = reinterpret_cast<const char*>(h) + h->nlmsg_len;
            while (data + NLA_HDRLEN <= end) {
                nlattr a{};
                std::memcpy(&a, data, sizeof a);
                if (a.nla_len < NLA_HDRLEN || data + a.nla_len > end)
                    break;
                if ((a.nla_type & NLA_TYPE_MASK) == NFQA_PACKET_HDR) {
                    nfqnl_msg_packet_hdr packet{};
                    std::memcpy(&packet, data + NLA_HDRLEN, sizeof packet);
                    held.push_back({ntohl(packet.packet_id), now + delay});
                    break;
                }
                data += NLA_ALIGN(a.nla_len);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: verimex_link_delay QUEUE ONE_WAY_MS\n");
        return 2;
    }
    try {
        const auto queue = static_cast<std::uint16_t>(std::atoi(argv[1]));
        const std::chrono::milliseconds delay(std::atoi(argv[2]));

        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
        if (fd < 0)
            fail(errno, "netlink socket");
        // Room for bursts: a notice lost to a full buffer holds its packet
        // until TCP sends it again.
        const int room = 8 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
        sockaddr_nl self{};
        self.nl_family = AF_NETLINK;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0)
            fail(errno, "netlink bind");

        Message bind(NFQNL_MSG_CONFIG, NLM_F_ACK, queue);
        nfqnl_msg_config_cmd command{};
        command.command = NFQNL_CFG_CMD_BIND;
        command.pf = htons(AF_INET);
        bind.attribute(NFQA_CFG_CMD, command);
        bind.send(fd);
        expect_ack(fd, "bind the queue");

        // Only the packet's id, no payload; a full queue lets packets pass
        // rather than dropping them.
        Message params(NFQNL_MSG_CONFIG, NLM_F_ACK, queue);
        nfqnl_msg_config_params copy{};
        copy.copy_range = htonl(0);
        copy.copy_mode = NFQNL_COPY_META;
        params.attribute(NFQA_CFG_PARAMS, copy);
        params.attribute(NFQA_CFG_QUEUE_MAXLEN, htonl(1u << 16));
        params.attribute(NFQA_CFG_MASK, htonl(NFQA_CFG_F_FAIL_OPEN));
        params.attribute(NFQA_CFG_FLAGS, htonl(NFQA_CFG_F_FAIL_OPEN));
        params.send(fd);
        expect_ack(fd, "configure the queue");

        std::printf("ready\n");
        std::fflush(stdout);

        std::deque<Held> held;
        for (;;) {
            timespec wait{};
            timespec* timeout = nullptr;
            if (!held.empty()) {
                const auto left = std::max(Clock::duration::zero(), held.front().due - Clock::now());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = static_cast<time_t>(ns / 1000000000);
                wait.tv_nsec = static_cast<long>(ns % 1000000000);
                timeout = &wait;
            }
            pollfd p{fd, POLLIN, 0};
            if (::ppoll(&p, 1, timeout, nullptr) < 0 && errno != EINTR)
                fail(errno, "ppoll");
            if (p.revents & POLLIN)
                take_packets(fd, held, delay);

            // Every packet held as long as it should be, in arrival order,
            // is let go with one batch verdict: the kernel accepts each
            // packet of the queue whose id is not above the one named.
            const auto now = Clock::now();
            std::uint32_t last = 0;
            bool any = false;
            while (!held.empty() && held.front().due <= now) {
                last = held.front().id;
                any = true;
                held.pop_front();
            }
            if (any) {
                Message verdict(NFQNL_MSG_VERDICT_BATCH, 0, queue);
                nfqnl_msg_verdict_hdr v{};
                v.verdict = htonl(NF_ACCEPT);
                v.id = htonl(last);
                verdict.attribute(NFQA_VERDICT_HDR, v);
                verdict.send(fd);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "verimex_link_delay: %s\n", e.what());
        return 1;
    }
}
