// DllRegisterServer and DllUnregisterServer: the class under its CLSID with
// its in-process server path and apartment threading, the ProgID, and the
// type library with its interface. Unregistering removes all of it again.
#include "component/com/server.h"

#include <oleauto.h>
#include <olectl.h>

#include <string>

#include "verimex_h.h"

namespace verimex::com {

namespace {

constexpr DWORD library_major = 7;
constexpr DWORD library_minor = 0;

std::wstring guid_text(REFGUID guid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    return text;
}

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key()
    {
        if (key_)
            ::RegCloseKey(key_);
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Creates HKEY_CLASSES_ROOT\path as needed and sets one string value in it
// (name null: the key's default value).
HRESULT set_value(const std::wstring& path, const wchar_t* name, const std::wstring& value)
{
    Key key;
    LONG error = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (error != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    error = ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

HRESULT delete_tree(const std::wstring& path)
{
    const LONG error = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

HRESULT register_class(const std::wstring& dll_path)
{
    const std::wstring clsid = guid_text(CLSID_quoverimex);
    const std::wstring class_key = L"CLSID\\" + clsid;
    const std::wstring version = std::to_wstring(library_major) + L"." + std::to_wstring(library_minor);
    const struct {
        std::wstring path;
        const wchar_t* name;
        std::wstring value;
    } values[] = {
        {class_key, nullptr, prog_id},
        {class_key + L"\\InprocServer32", nullptr, dll_path},
        {class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {class_key + L"\\ProgID", nullptr, prog_id},
        {class_key + L"\\TypeLib", nullptr, guid_text(LIBID_verimex)},
        {class_key + L"\\VERSION", nullptr, version},
        {prog_id, nullptr, prog_id},
        {std::wstring(prog_id) + L"\\CLSID", nullptr, clsid},
    };
    for (const auto& v : values)
        if (const HRESULT hr = set_value(v.path, v.name, v.value); FAILED(hr))
            return hr;
    return S_OK;
}

HRESULT unregister_all()
{
    // The type library first: it names the interface keys it made. Not
    // being registered is not a failure here.
    Ref<ITypeLib> library;
    HRESULT result = S_OK;
    if (SUCCEEDED(load_type_library(library))) {
        TLIBATTR* attr = nullptr;
        if (SUCCEEDED(library->GetLibAttr(&attr))) {
            const SYSKIND kind = attr->syskind;
            const LCID lcid = attr->lcid;
            library->ReleaseTLibAttr(attr);
            const HRESULT hr = ::UnRegisterTypeLib(LIBID_verimex, library_major, library_minor, lcid, kind);
            if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY &&
                hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
                result = hr;
        }
    }
    // The library's own key is left behind empty when this was its last
    // registered version; RegDeleteKeyW removes only an empty key, so the
    // other bitness's registration is safe.
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"TypeLib\\" + guid_text(LIBID_verimex)).c_str());

    if (const HRESULT hr = delete_tree(L"CLSID\\" + guid_text(CLSID_quoverimex)); FAILED(hr))
        result = hr;
    if (const HRESULT hr = delete_tree(prog_id); FAILED(hr))
        result = hr;
    return result;
}

}  // namespace

}  // namespace verimex::com

STDAPI DllRegisterServer()
{
    using namespace verimex::com;
    std::wstring path;
    try {
        path = module_path();
    } catch (...) {
        return SELFREG_E_CLASS;
    }
    HRESULT hr = register_class(path);
    if (SUCCEEDED(hr)) {
        Ref<ITypeLib> library;
        hr = load_type_library(library);
        if (SUCCEEDED(hr))
            hr = ::RegisterTypeLib(library.get(), path.data(), nullptr);
    }
    // Half a registration is worse than none.
    if (FAILED(hr))
        unregister_all();
    return hr;
}

STDAPI DllUnregisterServer()
{
    return verimex::com::unregister_all();
}
