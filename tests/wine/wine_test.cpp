// The helpers of wine_test.h.
#include "wine_test.h"

#include "seam.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace wine_test {

GUID guid(const wchar_t* text)
{
    GUID g{};
    EXPECT_EQ(::CLSIDFromString(text, &g), S_OK) << "not a GUID";
    return g;
}

Variant Variant::text(std::wstring_view s)
{
    Variant v;
    v.v_.vt = VT_BSTR;
    v.v_.bstrVal = ::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return v;
}

Variant Variant::i2(short n)
{
    Variant v;
    v.v_.vt = VT_I2;
    v.v_.iVal = n;
    return v;
}

std::wstring Variant::str() const
{
    VARIANT copy;
    ::VariantInit(&copy);
    // The source is only read; the API just lacks the const.
    if (FAILED(::VariantChangeType(&copy, const_cast<VARIANT*>(&v_), 0, VT_BSTR)))
        return L"<not text>";
    std::wstring s(copy.bstrVal, ::SysStringLen(copy.bstrVal));
    ::VariantClear(&copy);
    return s;
}

std::wstring wide(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::wstring env(const wchar_t* name)
{
    const wchar_t* value = ::_wgetenv(name);
    return value ? value : L"";
}

std::vector<std::wstring> env_list(const wchar_t* name)
{
    std::vector<std::wstring> items;
    const std::wstring all = env(name);
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find(L';', pos);
        if (end == std::wstring::npos)
            end = all.size();
        if (end > pos)
            items.push_back(all.substr(pos, end - pos));
        pos = end + 1;
    }
    return items;
}

void ComTest::SetUp()
{
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
}

void ComTest::TearDown()
{
    ::CoUninitialize();
}

Ref<IDispatch> create_verifier()
{
    Ref<IDispatch> object;
    CLSID clsid{};
    EXPECT_EQ(::CLSIDFromProgID(prog_id, &clsid), S_OK);
    EXPECT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()), S_OK);
    return object;
}

namespace {

HRESULT invoke(IDispatch* object, const wchar_t* name, WORD flags, DISPPARAMS& params, VARIANT* result,
               EXCEPINFO* error)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    EXCEPINFO ignored{};
    EXCEPINFO* info = error ? error : &ignored;
    UINT bad_argument = 0;
    const HRESULT r = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, info, &bad_argument);
    if (!error) {
        ::SysFreeString(ignored.bstrSource);
        ::SysFreeString(ignored.bstrDescription);
        ::SysFreeString(ignored.bstrHelpFile);
    }
    return r;
}

}  // namespace

HRESULT get(IDispatch* object, const wchar_t* name, Variant& result, EXCEPINFO* error)
{
    DISPPARAMS none{};
    return invoke(object, name, DISPATCH_PROPERTYGET, none, result.get(), error);
}

HRESULT put(IDispatch* object, const wchar_t* name, Variant& value, EXCEPINFO* error)
{
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = value.get();
    params.cArgs = 1;
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
    return invoke(object, name, DISPATCH_PROPERTYPUT, params, nullptr, error);
}

HRESULT call(IDispatch* object, const wchar_t* name, Variant& result, EXCEPINFO* error)
{
    DISPPARAMS none{};
    return invoke(object, name, DISPATCH_METHOD, none, result.get(), error);
}

std::wstring get_text(IDispatch* object, const wchar_t* name)
{
    Variant v;
    EXPECT_EQ(get(object, name, v), S_OK);
    return v.str();
}

void put_text(IDispatch* object, const wchar_t* name, std::wstring_view value)
{
    Variant v = Variant::text(value);
    EXPECT_EQ(put(object, name, v), S_OK);
}

void put_short(IDispatch* object, const wchar_t* name, short value)
{
    Variant v = Variant::i2(value);
    EXPECT_EQ(put(object, name, v), S_OK);
}

namespace {

// A time limit per case, as CTest gives natively: a case that hangs is
// named and ends the client (failing the stage), not the driver's limit.
class CaseTimeLimit final : public testing::EmptyTestEventListener {
public:
    explicit CaseTimeLimit(unsigned long seconds) : seconds_(seconds) {}

    void OnTestStart(const testing::TestInfo& test) override
    {
        name_ = std::string(test.test_suite_name()) + "." + test.name();
        if (!::CreateTimerQueueTimer(&timer_, nullptr, &expire, this, seconds_ * 1000, 0, WT_EXECUTEONLYONCE))
            ADD_FAILURE() << "no timer for the case's time limit: " << ::GetLastError();
    }
    // Waits for a callback under way, so none outlives its case.
    void OnTestEnd(const testing::TestInfo&) override { ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE); }

private:
    static void CALLBACK expire(void* self, BOOLEAN)
    {
        const auto* limit = static_cast<const CaseTimeLimit*>(self);
        std::fprintf(stderr, "[  TIMEOUT ] %s took more than %lu s\n", limit->name_.c_str(), limit->seconds_);
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }

    const unsigned long seconds_;
    std::string name_;
    HANDLE timer_ = nullptr;
};

}  // namespace

}  // namespace wine_test

int main(int argc, char** argv)
{
    // This program doubles as the child of the lookup runner's cases.
    if (const int rc = seam::child_main(argc, argv); rc >= 0)
        return rc;
    testing::InitGoogleTest(&argc, argv);
    // Twice the native limit (Wine starts processes slowly) unless told.
    unsigned long seconds = 60;
    if (const char* text = std::getenv("VERIMEX_CASE_TIMEOUT"); text && std::atol(text) > 0)
        seconds = static_cast<unsigned long>(std::atol(text));
    testing::UnitTest::GetInstance()->listeners().Append(new wine_test::CaseTimeLimit(seconds));
    return RUN_ALL_TESTS();
}
