// What the parts of the COM server share: the class's names, the module's
// own path and type library, and a holder for interface references.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <utility>

namespace verimex::com {

inline constexpr const wchar_t* prog_id = L"verimex.quoverimex";

// Owns one reference to a COM interface.
template <class T>
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For calls that hand out a reference through T**.
    T** put()
    {
        reset();
        return &p_;
    }
    T* release() { return std::exchange(p_, nullptr); }
    void reset()
    {
        if (p_)
            std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};

// The full path of verimex.dll itself.
std::wstring module_path();

// The type library embedded in this module (resource TYPELIB 1), loaded
// without touching the registry.
HRESULT load_type_library(Ref<ITypeLib>& library);

}  // namespace verimex::com
