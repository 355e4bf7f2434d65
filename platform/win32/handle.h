// RAII owners of the Windows kernel objects the platform code holds: a
// HANDLE closed with CloseHandle, and the Winsock SOCKET and WSAEVENT with
// their own release calls.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace verimex::platform::win32 {

// Some calls report "no handle" as NULL, others as INVALID_HANDLE_VALUE;
// both count as empty here, so either can be stored straight away.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr)
    {
        if (*this)
            ::CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

class Socket {
public:
    Socket() = default;
    explicit Socket(SOCKET s) : s_(s) {}
    Socket(Socket&& other) noexcept : s_(std::exchange(other.s_, INVALID_SOCKET)) {}
    Socket& operator=(Socket&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.s_, INVALID_SOCKET));
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }

    SOCKET get() const { return s_; }
    explicit operator bool() const { return s_ != INVALID_SOCKET; }
    void reset(SOCKET s = INVALID_SOCKET)
    {
        if (s_ != INVALID_SOCKET)
            ::closesocket(s_);
        s_ = s;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
};

class WsaEvent {
public:
    WsaEvent() = default;
    explicit WsaEvent(WSAEVENT e) : e_(e) {}
    WsaEvent(WsaEvent&& other) noexcept : e_(std::exchange(other.e_, WSA_INVALID_EVENT)) {}
    WsaEvent& operator=(WsaEvent&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.e_, WSA_INVALID_EVENT));
        return *this;
    }
    WsaEvent(const WsaEvent&) = delete;
    WsaEvent& operator=(const WsaEvent&) = delete;
    ~WsaEvent() { reset(); }

    WSAEVENT get() const { return e_; }
    explicit operator bool() const { return e_ != WSA_INVALID_EVENT; }
    void reset(WSAEVENT e = WSA_INVALID_EVENT)
    {
        if (e_ != WSA_INVALID_EVENT)
            ::WSACloseEvent(e_);
        e_ = e;
    }

private:
    WSAEVENT e_ = WSA_INVALID_EVENT;
};

}  // namespace verimex::platform::win32
