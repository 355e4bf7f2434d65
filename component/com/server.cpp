// The verifier as an in-process COM object: the class factory, the object
// with its dual interface _quoverimex (the vtable methods, and IDispatch
// driven by the embedded type library), the error reporting through
// IErrorInfo, and the exports DllGetClassObject and DllCanUnloadNow.
//
// Text crosses here and only here: BSTR (UTF-16) outside, UTF-8 inside.
#include "component/com/server.h"

#include <oleauto.h>
#include <olectl.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/win32/text.h"
#include "verimex/quoverimex.h"
#include "verimex_h.h"

namespace verimex::com {

namespace {

using platform::win32::narrow;
using platform::win32::widen;

// Live objects and LockServer(TRUE) calls; DllCanUnloadNow reads both.
LONG objects = 0;
LONG locks = 0;

// ---- errors ------------------------------------------------------------------

// Hands the host a description through IErrorInfo, which automation turns
// into the error's text (Err.Description in a script).
HRESULT report(HRESULT hr, const std::string& description)
{
    Ref<ICreateErrorInfo> create;
    if (FAILED(::CreateErrorInfo(create.put())))
        return hr;
    create->SetGUID(IID__quoverimex);
    create->SetSource(const_cast<LPOLESTR>(prog_id));
    std::wstring text;
    try {
        text = widen(description, CP_UTF8);
    } catch (...) {
        text = L"verimex: error";
    }
    create->SetDescription(text.data());
    Ref<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put()))))
        ::SetErrorInfo(0, info.get());
    return hr;
}

// Turns the exception being handled into an HRESULT with a description. Is
// called only from inside a catch block.
HRESULT failure()
{
    try {
        throw;
    } catch (const std::system_error& e) {
        // Platform failures keep their Windows (or Winsock) error number.
        const int code = e.code().value();
        const HRESULT hr = code != 0 && e.code().category() == std::system_category()
                               ? HRESULT_FROM_WIN32(static_cast<DWORD>(code))
                               : E_FAIL;
        return report(hr, std::string(e.what()) + " (error " + std::to_string(code) + ")");
    } catch (const std::invalid_argument& e) {
        // What a host written for the timer control's error expects when a
        // period is refused: "Invalid property value".
        return report(CTL_E_INVALIDPROPERTYVALUE, e.what());
    } catch (const std::bad_alloc&) {
        return report(E_OUTOFMEMORY, "verimex: out of memory");
    } catch (const std::exception& e) {
        return report(E_FAIL, e.what());
    } catch (...) {
        return report(E_UNEXPECTED, "verimex: unexpected error");
    }
}

// ---- text --------------------------------------------------------------------

std::string from_bstr(BSTR text)
{
    // A null BSTR is the empty string.
    return narrow(std::wstring_view(text, ::SysStringLen(text)), CP_UTF8);
}

HRESULT to_bstr(const std::string& text, BSTR* out)
{
    const std::wstring wide = widen(text, CP_UTF8);
    *out = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// ---- the object --------------------------------------------------------------

using Getter = const std::string& (quoverimex::*)() const;
using Setter = void (quoverimex::*)(std::string);

class Verifier final : public _quoverimex, public ISupportErrorInfo {
public:
    // The interface's type information: the vtable view drives Invoke, the
    // dispatch view is what GetTypeInfo hands out.
    Verifier(ITypeInfo* dispatch_info, ITypeInfo* vtable_info)
        : dispatch_info_(dispatch_info), vtable_info_(vtable_info)
    {
        dispatch_info_->AddRef();
        vtable_info_->AddRef();
        ::InterlockedIncrement(&objects);
    }
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;
    ~Verifier()
    {
        vtable_info_->Release();
        dispatch_info_->Release();
        ::InterlockedDecrement(&objects);
    }

    // IUnknown, for both bases.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__quoverimex)
            *out = static_cast<_quoverimex*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *out = static_cast<ISupportErrorInfo*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = ::InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (info == nullptr)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        dispatch_info_->AddRef();
        *info = dispatch_info_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override
    {
        if (riid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        return ::DispGetIDsOfNames(vtable_info_, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* bad_argument) override
    {
        if (riid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        if (exception)
            *exception = EXCEPINFO{};
        // The type library calls the vtable methods below, converting the
        // arguments on the way.
        HRESULT hr = ::DispInvoke(static_cast<_quoverimex*>(this), vtable_info_, id, flags, params, result,
                                  exception, bad_argument);
        // A method's own failure (not a DISP_E_ complaint about the call)
        // reaches a late-bound host as an exception with its description.
        if (FAILED(hr) && HRESULT_FACILITY(hr) != FACILITY_DISPATCH && exception) {
            fill(*exception, hr);
            hr = DISP_E_EXCEPTION;
        }
        return hr;
    }

    // _quoverimex: the properties in declaration order, then the methods.
    HRESULT STDMETHODCALLTYPE get_email(BSTR* out) override { return get(&quoverimex::email, out); }
    HRESULT STDMETHODCALLTYPE put_email(BSTR in) override { return put(&quoverimex::email, in); }
    HRESULT STDMETHODCALLTYPE get_nslookup(BSTR* out) override { return get(&quoverimex::nslookup, out); }
    HRESULT STDMETHODCALLTYPE put_nslookup(BSTR in) override { return put(&quoverimex::nslookup, in); }
    HRESULT STDMETHODCALLTYPE get_smtp(BSTR* out) override { return get(&quoverimex::smtp, out); }
    HRESULT STDMETHODCALLTYPE put_smtp(BSTR in) override { return put(&quoverimex::smtp, in); }
    HRESULT STDMETHODCALLTYPE get_returnvar(BSTR* out) override { return get(&quoverimex::returnvar, out); }
    HRESULT STDMETHODCALLTYPE put_returnvar(BSTR in) override { return put(&quoverimex::returnvar, in); }
    HRESULT STDMETHODCALLTYPE get_from(BSTR* out) override { return get(&quoverimex::from, out); }
    HRESULT STDMETHODCALLTYPE put_from(BSTR in) override { return put(&quoverimex::from, in); }
    HRESULT STDMETHODCALLTYPE get_timeout(short* out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = impl_.timeout();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_timeout(short in) override
    {
        impl_.timeout(in);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE check() override
    {
        try {
            impl_.check();
            return S_OK;
        } catch (...) {
            return failure();
        }
    }
    HRESULT STDMETHODCALLTYPE checktime(VARIANT_BOOL* expired) override
    {
        if (expired == nullptr)
            return E_POINTER;
        *expired = VARIANT_FALSE;
        try {
            *expired = impl_.checktime() ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        } catch (...) {
            return failure();
        }
    }

    // ISupportErrorInfo: every failure of the interface comes with one.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override
    {
        return riid == IID__quoverimex || riid == IID_IDispatch ? S_OK : S_FALSE;
    }

private:
    HRESULT get(Getter getter, BSTR* out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        try {
            return to_bstr((impl_.*getter)(), out);
        } catch (...) {
            return failure();
        }
    }
    HRESULT put(Setter setter, BSTR in)
    {
        try {
            (impl_.*setter)(from_bstr(in));
            return S_OK;
        } catch (...) {
            return failure();
        }
    }

    // The description the failing method left in the thread's error info.
    static void fill(EXCEPINFO& exception, HRESULT hr)
    {
        exception.scode = hr;
        Ref<IErrorInfo> info;
        if (::GetErrorInfo(0, info.put()) != S_OK || !info)
            return;
        info->GetSource(&exception.bstrSource);
        info->GetDescription(&exception.bstrDescription);
    }

    LONG refs_ = 1;
    ITypeInfo* dispatch_info_;
    ITypeInfo* vtable_info_;
    quoverimex impl_;
};

HRESULT create_verifier(REFIID riid, void** out)
{
    Ref<ITypeLib> library;
    HRESULT hr = load_type_library(library);
    if (FAILED(hr))
        return hr;
    Ref<ITypeInfo> dispatch_info;
    hr = library->GetTypeInfoOfGuid(IID__quoverimex, dispatch_info.put());
    if (FAILED(hr))
        return hr;
    // A dual interface's type information comes in two views; the one
    // that describes the vtable is behind the reference -1.
    HREFTYPE vtable_ref = 0;
    hr = dispatch_info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref);
    if (FAILED(hr))
        return hr;
    Ref<ITypeInfo> vtable_info;
    hr = dispatch_info->GetRefTypeInfo(vtable_ref, vtable_info.put());
    if (FAILED(hr))
        return hr;

    auto* verifier = new (std::nothrow) Verifier(dispatch_info.get(), vtable_info.get());
    if (verifier == nullptr)
        return E_OUTOFMEMORY;
    hr = verifier->QueryInterface(riid, out);
    verifier->Release();
    return hr;
}

// ---- the class factory -------------------------------------------------------

// One for the whole module; it lives as long as the module does, so its
// references are not counted.
class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return create_verifier(riid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ::InterlockedIncrement(&locks);
        else
            ::InterlockedDecrement(&locks);
        return S_OK;
    }
};

Factory factory;

}  // namespace

std::wstring module_path()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(platform::win32::this_module(), path.data(),
                                             static_cast<DWORD>(path.size()));
        if (n == 0)
            throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                    "verimex: GetModuleFileNameW");
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT load_type_library(Ref<ITypeLib>& library)
{
    try {
        return ::LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, library.put());
    } catch (...) {
        return failure();
    }
}

}  // namespace verimex::com

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_quoverimex)
        return CLASS_E_CLASSNOTAVAILABLE;
    return verimex::com::factory.QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow()
{
    // NOTE: once a thread has made its host window the module pins itself
    // (see the event loop), so a yes here then unloads nothing.
    const bool busy = ::InterlockedCompareExchange(&verimex::com::objects, 0, 0) != 0 ||
                      ::InterlockedCompareExchange(&verimex::com::locks, 0, 0) != 0;
    return busy ? S_FALSE : S_OK;
}
