// A UDP relay in front of the test dnsmasq, for the resolver's retries: it
// passes queries on to 127.0.0.1:53 and the answers back, except those it
// is told to lose, or it answers SERVFAIL itself. It counts the queries it
// saw per name. Only for the private network namespace of tests/netns/run.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <system_error>
#include <thread>

#include "platform/posix/fd.h"

namespace verimex::test {

class DnsRelay {
public:
    enum class mode {
        drop_first,  // loses the first query of every name and type, passes the rest
        drop_every,  // loses every n-th query, passes the rest
        servfail,    // answers every query with SERVFAIL
    };

    DnsRelay(std::uint16_t port, mode how, unsigned every = 0, const char* address = "127.0.0.1")
        : mode_(how), every_(every)
    {
        stop_ = platform::posix::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        front_ = platform::posix::Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        back_ = platform::posix::Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!stop_ || !front_ || !back_)
            throw std::system_error(errno, std::generic_category(), "DnsRelay");
        sockaddr_in at = loopback(port);
        ::inet_pton(AF_INET, address, &at.sin_addr);
        if (::bind(front_.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            throw std::system_error(errno, std::generic_category(), "DnsRelay bind");
        const sockaddr_in dnsmasq = loopback(53);
        if (::connect(back_.get(), reinterpret_cast<const sockaddr*>(&dnsmasq), sizeof dnsmasq) != 0)
            throw std::system_error(errno, std::generic_category(), "DnsRelay connect");
        // Room for a burst of hundreds of queries and answers.
        const int size = 4 << 20;
        ::setsockopt(front_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ::setsockopt(back_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        thread_ = std::thread([this] { run(); });
    }
    DnsRelay(const DnsRelay&) = delete;
    DnsRelay& operator=(const DnsRelay&) = delete;
    ~DnsRelay()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }

    // Queries for name, of every type.
    unsigned queries(const std::string& name) const
    {
        std::lock_guard lock(mutex_);
        unsigned count = 0;
        for (const auto& [key, n] : seen_)
            if (key.first == name)
                count += n;
        return count;
    }
    unsigned dropped() const { return dropped_.load(); }

private:
    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    // The question's name, lower-cased, without the final dot, and type.
    static std::pair<std::string, unsigned> question_of(const unsigned char* packet, std::size_t size)
    {
        std::string name;
        std::size_t at = 12;
        while (at < size && packet[at] != 0) {
            const std::size_t length = packet[at];
            if (at + 1 + length > size)
                break;
            if (!name.empty())
                name += '.';
            for (std::size_t i = 0; i < length; ++i) {
                const char c = static_cast<char>(packet[at + 1 + i]);
                name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            }
            at += 1 + length;
        }
        const unsigned type = at + 2 < size ? (packet[at + 1] << 8 | packet[at + 2]) : 0;
        return {name, type};
    }

    void run()
    {
        unsigned char packet[4096];
        for (;;) {
            pollfd fds[3] = {{front_.get(), POLLIN, 0}, {back_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0 && errno != EINTR)
                return;
            if (fds[2].revents != 0)
                return;
            if (fds[0].revents != 0) {
                sockaddr_in from{};
                socklen_t from_size = sizeof from;
                const ssize_t n = ::recvfrom(front_.get(), packet, sizeof packet, 0,
                                             reinterpret_cast<sockaddr*>(&from), &from_size);
                if (n >= 12)
                    query(packet, static_cast<std::size_t>(n), from);
            }
            if (fds[1].revents != 0) {
                const ssize_t n = ::recv(back_.get(), packet, sizeof packet, 0);
                if (n >= 12) {
                    const unsigned id = packet[0] << 8 | packet[1];
                    const auto it = clients_.find(id);
                    if (it != clients_.end())
                        ::sendto(front_.get(), packet, static_cast<std::size_t>(n), 0,
                                 reinterpret_cast<const sockaddr*>(&it->second), sizeof it->second);
                }
            }
        }
    }

    void query(unsigned char* packet, std::size_t size, const sockaddr_in& from)
    {
        const auto key = question_of(packet, size);
        unsigned count = 0;
        {
            std::lock_guard lock(mutex_);
            count = ++seen_[key];
        }
        ++total_;
        bool lose = false;
        if (mode_ == mode::drop_first)
            lose = count == 1;
        else if (mode_ == mode::drop_every)
            lose = every_ != 0 && total_ % every_ == 0;
        if (lose) {
            ++dropped_;
            return;
        }
        if (mode_ == mode::servfail) {
            packet[2] |= 0x80;                                  // QR: an answer
            packet[3] = static_cast<unsigned char>((packet[3] & 0xF0) | 2);  // RCODE SERVFAIL
            ::sendto(front_.get(), packet, size, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
            return;
        }
        clients_[packet[0] << 8 | packet[1]] = from;
        ::send(back_.get(), packet, size, 0);
    }

    const mode mode_;
    const unsigned every_;
    platform::posix::Fd stop_, front_, back_;
    std::map<unsigned, sockaddr_in> clients_;  // by query id; relay thread only
    unsigned total_ = 0;                       // relay thread only
    std::atomic<unsigned> dropped_{0};
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, unsigned>, unsigned> seen_;
    std::thread thread_;
};

}  // namespace verimex::test
