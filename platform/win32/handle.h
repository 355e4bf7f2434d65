// RAII owners of the Windows kernel objects the platform code holds: a
// HANDLE closed with CloseHandle, and the Winsock SOCKET and WSAEVENT with
// their own release calls.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace verimex::platform::win32 {

// Owns one value of Traits::type: Traits::empty when it owns nothing,
// Traits::close to release it.
template <class Traits>
class Owned {
public:
    using type = typename Traits::type;

    Owned() = default;
    explicit Owned(type v) : v_(v) {}
    Owned(Owned&& other) noexcept : v_(std::exchange(other.v_, Traits::empty())) {}
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.v_, Traits::empty()));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    type get() const { return v_; }
    explicit operator bool() const { return Traits::valid(v_); }
    type release() { return std::exchange(v_, Traits::empty()); }
    void reset(type v = Traits::empty())
    {
        if (Traits::valid(v_))
            Traits::close(v_);
        v_ = v;
    }

private:
    type v_ = Traits::empty();
};

struct HandleTraits {
    using type = HANDLE;
    static HANDLE empty() { return nullptr; }
    // Some calls report "no handle" as NULL, others as INVALID_HANDLE_VALUE;
    // both count as empty here, so either can be stored straight away.
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};

struct SocketTraits {
    using type = SOCKET;
    static SOCKET empty() { return INVALID_SOCKET; }
    static bool valid(SOCKET s) { return s != INVALID_SOCKET; }
    static void close(SOCKET s) { ::closesocket(s); }
};

struct WsaEventTraits {
    using type = WSAEVENT;
    static WSAEVENT empty() { return WSA_INVALID_EVENT; }
    static bool valid(WSAEVENT e) { return e != WSA_INVALID_EVENT; }
    static void close(WSAEVENT e) { ::WSACloseEvent(e); }
};

using Handle = Owned<HandleTraits>;
using Socket = Owned<SocketTraits>;
using WsaEvent = Owned<WsaEventTraits>;

}  // namespace verimex::platform::win32
