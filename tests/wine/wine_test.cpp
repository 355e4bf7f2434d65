// The helpers of wine_test.h.
#include "wine_test.h"

#include <cstdlib>
#include <cstring>
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

// This program doubles as the child of the lookup runner's tests:
//   --child-print COUNT HEX      writes COUNT bytes of value HEX, in one write
//   --child-print-text TEXT      writes TEXT, %XX standing for the byte XX
//   --child-args ARG...          writes each ARG as the C run-time split the
//                                command line (the rules Windows tools
//                                share), each followed by a line feed
// Returns -1 when the arguments ask for no child.
int child_main(int argc, char** argv)
{
    std::string bytes;
    if (argc >= 2 && std::strcmp(argv[1], "--child-args") == 0) {
        for (int i = 2; i < argc; ++i)
            bytes += std::string(argv[i]) + "\n";
    } else if (argc == 4 && std::strcmp(argv[1], "--child-print") == 0) {
        bytes.assign(std::strtoul(argv[2], nullptr, 10), static_cast<char>(std::strtoul(argv[3], nullptr, 16)));
    } else if (argc == 3 && std::strcmp(argv[1], "--child-print-text") == 0) {
        for (const char* p = argv[2]; *p; ++p) {
            if (p[0] == '%' && p[1] && p[2]) {
                const char hex[3] = {p[1], p[2], 0};
                bytes += static_cast<char>(std::strtoul(hex, nullptr, 16));
                p += 2;
            } else {
                bytes += *p;
            }
        }
    } else {
        return -1;
    }
    DWORD written = 0;
    if (!bytes.empty())
        ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return 0;
}

}  // namespace

}  // namespace wine_test

int main(int argc, char** argv)
{
    if (const int rc = wine_test::child_main(argc, argv); rc >= 0)
        return rc;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
