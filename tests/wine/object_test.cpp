// The verifier object as a host holds it: its properties through IDispatch,
// platform errors raised to the host as automation errors, and the class
// factory and unloading rules of the DLL.
#include "wine_test.h"

#include <olectl.h>

namespace wine_test {

namespace {

constexpr const wchar_t* string_properties[] = {L"email", L"nslookup", L"smtp", L"returnvar", L"from"};

class Object : public ComTest {};

TEST_F(Object, StartsWithEmptyStringsAndTimeoutZero)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    for (const wchar_t* name : string_properties) {
        Variant v;
        ASSERT_EQ(get(object.get(), name, v), S_OK);
        EXPECT_EQ((*v).vt, VT_BSTR);
        EXPECT_EQ(v.str(), L"");
    }
    Variant timeout;
    ASSERT_EQ(get(object.get(), L"timeout", timeout), S_OK);
    EXPECT_EQ((*timeout).vt, VT_I2);
    EXPECT_EQ((*timeout).iVal, 0);
}

TEST_F(Object, StringsKeepEveryCharacter)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    // Latin, a symbol outside Latin-1, one outside the 16-bit range, and an
    // embedded NUL: all survive the trip into UTF-8 and back.
    const std::wstring text = std::wstring(L"h\u00e9llo \u2713 \U0001D11E a") + L'\0' + L"b";
    for (const wchar_t* name : string_properties) {
        put_text(object.get(), name, text);
        EXPECT_EQ(get_text(object.get(), name), text) << testing::PrintToString(std::wstring(name));
    }
    // The integer arrives as whatever the host had; automation converts it.
    Variant four_byte;
    (*four_byte.get()).vt = VT_I4;
    (*four_byte.get()).lVal = -32768;
    ASSERT_EQ(put(object.get(), L"timeout", four_byte), S_OK);
    EXPECT_EQ(get_text(object.get(), L"timeout"), L"-32768");
    Variant too_big;
    (*too_big.get()).vt = VT_I4;
    (*too_big.get()).lVal = 40000;
    EXPECT_EQ(put(object.get(), L"timeout", too_big), DISP_E_OVERFLOW);
}

// A negative timeout makes the watchdog's timer refuse its period: the one
// platform error a host can cause at will.
TEST_F(Object, PlatformErrorsReachTheHostWithADescription)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    put_short(object.get(), L"timeout", -5);

    EXCEPINFO error{};
    Variant none;
    ASSERT_EQ(call(object.get(), L"check", none, &error), DISP_E_EXCEPTION);
    EXPECT_EQ(error.scode, CTL_E_INVALIDPROPERTYVALUE);
    ASSERT_NE(error.bstrDescription, nullptr);
    EXPECT_NE(std::wstring(error.bstrDescription).find(L"negative"), std::wstring::npos)
        << testing::PrintToString(std::wstring(error.bstrDescription));
    EXPECT_EQ(std::wstring(error.bstrSource ? error.bstrSource : L""), prog_id);
    ::SysFreeString(error.bstrSource);
    ::SysFreeString(error.bstrDescription);
    ::SysFreeString(error.bstrHelpFile);

    // Early-bound: the HRESULT itself, with the description in IErrorInfo.
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, support.put_void()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(guid(iid_text)), S_OK);
    Ref<IUnknown> iface;
    ASSERT_EQ(object->QueryInterface(guid(iid_text), iface.put_void()), S_OK);
    using Check = HRESULT(STDMETHODCALLTYPE*)(IUnknown*);
    const auto check = reinterpret_cast<Check>((*reinterpret_cast<void***>(iface.get()))[19]);
    EXPECT_EQ(check(iface.get()), CTL_E_INVALIDPROPERTYVALUE);
    Ref<IErrorInfo> info;
    ASSERT_EQ(::GetErrorInfo(0, info.put()), S_OK);
    Bstr description;
    ASSERT_EQ(info->GetDescription(description.put()), S_OK);
    EXPECT_NE(description.str().find(L"negative"), std::wstring::npos);
}

// The DLL's own entry points, reached as COM reaches them.
class Server : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        module_ = ::LoadLibraryW(env(L"VERIMEX_DLL").c_str());
        ASSERT_NE(module_, nullptr) << "VERIMEX_DLL cannot be loaded";
        get_class_object_ = reinterpret_cast<decltype(get_class_object_)>(
            reinterpret_cast<void*>(::GetProcAddress(module_, "DllGetClassObject")));
        can_unload_now_ = reinterpret_cast<decltype(can_unload_now_)>(
            reinterpret_cast<void*>(::GetProcAddress(module_, "DllCanUnloadNow")));
        ASSERT_NE(get_class_object_, nullptr);
        ASSERT_NE(can_unload_now_, nullptr);
    }
    void TearDown() override
    {
        if (module_)
            ::FreeLibrary(module_);
        ComTest::TearDown();
    }

    HMODULE module_ = nullptr;
    HRESULT(STDAPICALLTYPE* get_class_object_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now_)() = nullptr;
};

TEST_F(Server, HandsOutItsFactoryForItsClassOnly)
{
    Ref<IClassFactory> factory;
    EXPECT_EQ(get_class_object_(guid(iid_text), IID_IClassFactory, factory.put_void()), CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(get_class_object_(guid(clsid_text), IID_IClassFactory, factory.put_void()), S_OK);
    Ref<IUnknown> outer;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.put_void()), S_OK);
    Ref<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.put_void()), CLASS_E_NOAGGREGATION);
    Ref<IUnknown> unknown_interface;
    EXPECT_EQ(factory->CreateInstance(nullptr, guid(libid_text), unknown_interface.put_void()), E_NOINTERFACE);
}

TEST_F(Server, MayUnloadOnlyWhenNoObjectAndNoLockIsAlive)
{
    Ref<IClassFactory> factory;
    ASSERT_EQ(get_class_object_(guid(clsid_text), IID_IClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(can_unload_now_(), S_OK);

    Ref<IDispatch> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
    EXPECT_EQ(can_unload_now_(), S_FALSE);
    // The thread's host window outlives the object; it does not hold the
    // answer back.
    Variant expired;
    ASSERT_EQ(call(object.get(), L"checktime", expired), S_OK);
    EXPECT_EQ(can_unload_now_(), S_FALSE);
    object.reset();
    EXPECT_EQ(can_unload_now_(), S_OK);

    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(can_unload_now_(), S_FALSE);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(can_unload_now_(), S_OK);
}

}  // namespace

}  // namespace wine_test
