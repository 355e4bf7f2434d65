// Owns one reference to a COM interface: the server's own code and the
// Windows test client hold every interface pointer in one of these.
#pragma once

#include <utility>

namespace verimex::com {

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For calls that hand out a reference through T** (or void**, as
    // QueryInterface does).
    T** put()
    {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* release() { return std::exchange(p_, nullptr); }
    void reset()
    {
        if (p_)
            std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};

}  // namespace verimex::com
