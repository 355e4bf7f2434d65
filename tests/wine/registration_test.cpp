// What regsvr32 leaves in the registry (Registered) and what it takes away
// again with /u (Unregistered). tests/wine/run runs the first group after
// registering the DLL and the second after unregistering it.
#include "wine_test.h"

#include <cwctype>

namespace wine_test {

namespace {

// The default value (name null) or a named value of HKCR\path, or
// "<missing>".
std::wstring value_of(const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    const LONG r = ::RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size);
    return r == ERROR_SUCCESS ? std::wstring(buffer) : L"<missing>";
}

bool key_exists(const std::wstring& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

std::wstring lower(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// Where this process's bitness registers its type library.
const wchar_t* platform_key()
{
    return sizeof(void*) == 8 ? L"win64" : L"win32";
}

const std::wstring class_key = std::wstring(L"CLSID\\") + clsid_text;

class Registered : public ComTest {};

TEST_F(Registered, ClassNamesThisDllWithApartmentThreading)
{
    const std::wstring dll = env(L"VERIMEX_DLL");
    ASSERT_FALSE(dll.empty()) << "VERIMEX_DLL not set";
    EXPECT_EQ(lower(value_of(class_key + L"\\InprocServer32")), lower(dll));
    EXPECT_EQ(value_of(class_key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(value_of(class_key + L"\\ProgID"), prog_id);
    EXPECT_EQ(value_of(class_key + L"\\TypeLib"), libid_text);
    EXPECT_EQ(value_of(std::wstring(prog_id) + L"\\CLSID"), clsid_text);

    CLSID clsid{};
    ASSERT_EQ(::CLSIDFromProgID(prog_id, &clsid), S_OK);
    EXPECT_EQ(clsid, guid(clsid_text));
}

TEST_F(Registered, TypeLibraryAndInterfaceAreRegistered)
{
    Bstr path;
    ASSERT_EQ(::QueryPathOfRegTypeLib(guid(libid_text), 7, 0, 0, path.put()), S_OK);
    EXPECT_EQ(lower(path.str()), lower(env(L"VERIMEX_DLL")));
    const std::wstring interface_key = std::wstring(L"Interface\\") + iid_text;
    EXPECT_EQ(value_of(interface_key), L"_quoverimex");
    EXPECT_EQ(value_of(interface_key + L"\\TypeLib"), libid_text);
}

class Unregistered : public ComTest {};

TEST_F(Unregistered, NoKeyIsLeft)
{
    EXPECT_FALSE(key_exists(class_key));
    EXPECT_FALSE(key_exists(prog_id));
    EXPECT_FALSE(key_exists(std::wstring(L"Interface\\") + iid_text));
    EXPECT_FALSE(key_exists(std::wstring(L"TypeLib\\") + libid_text + L"\\7.0\\0\\" + platform_key()));

    CLSID clsid{};
    EXPECT_NE(::CLSIDFromProgID(prog_id, &clsid), S_OK);
    Ref<IDispatch> object;
    EXPECT_EQ(::CoCreateInstance(guid(clsid_text), nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()),
              REGDB_E_CLASSNOTREG);
}

}  // namespace

}  // namespace wine_test
