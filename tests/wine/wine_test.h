// Shared pieces of the Windows tests, which run under Wine against the
// registered verimex.dll as a host would use it: the published identifiers
// (what these tests check, so written out here rather than taken from the
// build), owners for COM references, BSTRs and VARIANTs, late-bound calls
// by name, and where the driver (tests/wine/run) put things.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/com/ref.h"

namespace wine_test {

inline constexpr const wchar_t* clsid_text = L"{CCBF76DC-1314-11D2-8512-004095427C1B}";
inline constexpr const wchar_t* iid_text = L"{CCBF76DB-1314-11D2-8512-004095427C1B}";
inline constexpr const wchar_t* libid_text = L"{809C8FDB-C3F4-11D1-8806-00A0CC5C71BF}";
inline constexpr const wchar_t* prog_id = L"verimex.quoverimex";

GUID guid(const wchar_t* text);

using verimex::com::Ref;

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view text)
        : b_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(b_); }

    BSTR get() const { return b_; }
    BSTR* put()
    {
        ::SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    std::wstring str() const { return std::wstring(b_, ::SysStringLen(b_)); }

private:
    BSTR b_ = nullptr;
};

class Variant {
public:
    Variant() { ::VariantInit(&v_); }
    Variant(Variant&& other) noexcept : v_(other.v_) { ::VariantInit(&other.v_); }
    Variant& operator=(Variant&&) = delete;
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(&v_); }

    static Variant text(std::wstring_view s);
    static Variant i2(short n);

    VARIANT* get() { return &v_; }
    const VARIANT& operator*() const { return v_; }
    // The value as text (VT_BSTR), or what VariantChangeType makes of it.
    std::wstring str() const;

private:
    VARIANT v_;
};

// Text of the library (UTF-8) and of the host (UTF-16), for comparisons
// with the texts the component defines.
std::wstring wide(std::string_view utf8);

// Set by tests/wine/run: VERIMEX_DLL is the DLL registered for this run's
// bitness, VERIMEX_DLLS every DLL built (both bitnesses), VERIMEX_SCRIPT
// the VBScript host's script, VERIMEX_GOLDEN_TEXTS the table of the
// component's exact texts (tests/support/golden.h). Empty when not set.
std::wstring env(const wchar_t* name);
std::vector<std::wstring> env_list(const wchar_t* name);

// Each test runs in a single-threaded apartment, as the class expects.
class ComTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A new verifier object, created through its ProgID.
Ref<IDispatch> create_verifier();

// Late-bound calls by name, as a script host makes them. The EXCEPINFO is
// filled when the call raised an error.
HRESULT get(IDispatch* object, const wchar_t* name, Variant& result, EXCEPINFO* error = nullptr);
HRESULT put(IDispatch* object, const wchar_t* name, Variant& value, EXCEPINFO* error = nullptr);
HRESULT call(IDispatch* object, const wchar_t* name, Variant& result, EXCEPINFO* error = nullptr);
// Shorthands that fail the test when the call fails.
std::wstring get_text(IDispatch* object, const wchar_t* name);
void put_text(IDispatch* object, const wchar_t* name, std::wstring_view value);
void put_short(IDispatch* object, const wchar_t* name, short value);

}  // namespace wine_test
