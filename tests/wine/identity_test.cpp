// The published identity of verimex.dll: dispatch ids, the interface's slot
// order, the type library's flags, the version record, the exports and the
// imports, for every DLL built (32-bit and 64-bit) where a file suffices.
#include "wine_test.h"

#include <winver.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <set>

#include "support/golden.h"

namespace wine_test {

namespace {

namespace golden = verimex::golden;

struct Member {
    const wchar_t* name;
    DISPID id;
};

// Properties in declaration order, then the methods.
constexpr Member members[] = {
    {L"email", 0x40030000},   {L"nslookup", 0x40030001}, {L"smtp", 0x40030002},
    {L"returnvar", 0x40030003}, {L"from", 0x40030004},   {L"timeout", 0x40030005},
    {L"check", 0x60030000},   {L"checktime", 0x60030003},
};

struct Slot {
    const wchar_t* name;
    INVOKEKIND kind;
};

// The vtable after IUnknown's three and IDispatch's four slots.
constexpr Slot slots[] = {
    {L"email", INVOKE_PROPERTYGET},     {L"email", INVOKE_PROPERTYPUT},
    {L"nslookup", INVOKE_PROPERTYGET},  {L"nslookup", INVOKE_PROPERTYPUT},
    {L"smtp", INVOKE_PROPERTYGET},      {L"smtp", INVOKE_PROPERTYPUT},
    {L"returnvar", INVOKE_PROPERTYGET}, {L"returnvar", INVOKE_PROPERTYPUT},
    {L"from", INVOKE_PROPERTYGET},      {L"from", INVOKE_PROPERTYPUT},
    {L"timeout", INVOKE_PROPERTYGET},   {L"timeout", INVOKE_PROPERTYPUT},
    {L"check", INVOKE_FUNC},            {L"checktime", INVOKE_FUNC},
};
constexpr int first_slot = 7;

std::wstring upper(std::wstring s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return s;
}

std::wstring member_name(ITypeInfo* info, MEMBERID id)
{
    Bstr name;
    EXPECT_EQ(info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr), S_OK);
    return name.str();
}

// The vtable view of the interface, behind the dispatch view a dual
// interface's type information starts with.
Ref<ITypeInfo> vtable_view(ITypeInfo* dispatch_view)
{
    HREFTYPE ref = 0;
    EXPECT_EQ(dispatch_view->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    Ref<ITypeInfo> info;
    EXPECT_EQ(dispatch_view->GetRefTypeInfo(ref, info.put()), S_OK);
    return info;
}

// What a DLL file says about itself, read from its bytes, so a DLL of the
// other bitness can be looked at too.
struct PeFacts {
    WORD machine = 0;
    std::set<std::string> exports;
    std::set<std::string> imports;
};

PeFacts read_pe(const std::wstring& path)
{
    PeFacts facts;
    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto at = [&](std::size_t offset, std::size_t size) -> const char* {
        return offset + size <= bytes.size() ? bytes.data() + offset : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (!dos)
        return facts;
    const std::size_t nt = static_cast<std::size_t>(dos->e_lfanew);
    const auto* file = reinterpret_cast<const IMAGE_FILE_HEADER*>(at(nt + 4, sizeof(IMAGE_FILE_HEADER)));
    if (!file)
        return facts;
    facts.machine = file->Machine;
    const std::size_t optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    const bool pe64 = file->Machine == IMAGE_FILE_MACHINE_AMD64;
    const std::size_t directories =
        optional + (pe64 ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    const auto* dir = reinterpret_cast<const IMAGE_DATA_DIRECTORY*>(
        at(directories, sizeof(IMAGE_DATA_DIRECTORY) * IMAGE_NUMBEROF_DIRECTORY_ENTRIES));
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        at(optional + file->SizeOfOptionalHeader, sizeof(IMAGE_SECTION_HEADER) * file->NumberOfSections));
    if (!dir || !sections)
        return facts;
    auto file_offset = [&](DWORD rva) -> std::size_t {
        for (WORD i = 0; i < file->NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return bytes.size();
    };
    auto text_at = [&](DWORD rva) {
        const char* p = at(file_offset(rva), 1);
        return p ? std::string(p, strnlen(p, bytes.size() - file_offset(rva))) : std::string();
    };

    const IMAGE_DATA_DIRECTORY& ex = dir[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (const auto* e = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
            at(file_offset(ex.VirtualAddress), sizeof(IMAGE_EXPORT_DIRECTORY)))) {
        for (DWORD i = 0; i < e->NumberOfNames; ++i)
            if (const auto* name_rva = reinterpret_cast<const DWORD*>(
                    at(file_offset(e->AddressOfNames) + i * sizeof(DWORD), sizeof(DWORD))))
                facts.exports.insert(text_at(*name_rva));
    }
    const IMAGE_DATA_DIRECTORY& im = dir[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (std::size_t off = file_offset(im.VirtualAddress);; off += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(off, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (!d || d->Name == 0)
            break;
        std::string name = text_at(d->Name);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        facts.imports.insert(name);
    }
    return facts;
}

std::wstring version_string(const std::vector<char>& record, const wchar_t* name)
{
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(record.data(), path.c_str(), &value, &length))
        return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value), length > 0 ? length - 1 : 0);
}

class Identity : public ComTest {};

TEST_F(Identity, EveryMemberHasItsPublishedDispatchId)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    for (const Member& m : members) {
        // Hosts spell names as they like: the lookup ignores case.
        for (const std::wstring& spelling : {std::wstring(m.name), upper(m.name)}) {
            LPOLESTR names[] = {const_cast<LPOLESTR>(spelling.c_str())};
            DISPID id = 0;
            EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
            EXPECT_EQ(id, m.id) << "dispatch id of " << testing::PrintToString(spelling);
        }
    }
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"readreply")};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME)
        << "the private operations are not published";
}

TEST_F(Identity, TypeInformationListsTheSlotsInOrder)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    Ref<ITypeInfo> dispatch_view;
    ASSERT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, dispatch_view.put()), S_OK);
    Ref<ITypeInfo> info = vtable_view(dispatch_view.get());
    ASSERT_TRUE(info);

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->cFuncs, std::size(slots));
    info->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < std::size(slots); ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
        EXPECT_EQ(member_name(info.get(), f->memid), slots[i].name) << "slot " << first_slot + i;
        EXPECT_EQ(f->invkind, slots[i].kind) << "slot " << first_slot + i;
        EXPECT_EQ(f->oVft, static_cast<SHORT>((first_slot + i) * sizeof(void*))) << "slot " << first_slot + i;
        info->ReleaseFuncDesc(f);
    }
}

// Calls straight through the vtable by slot number, as an early-bound host
// compiled against the type library does: each put slot must land in the
// property its get slot reads, and in no other, and the methods' slots run
// the methods.
TEST_F(Identity, VtableSlotsReachTheirProperties)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    Ref<IUnknown> iface;
    ASSERT_EQ(object->QueryInterface(guid(iid_text), iface.put_void()), S_OK);
    void** vtable = *reinterpret_cast<void***>(iface.get());
    using PutText = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, BSTR);
    using GetText = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, BSTR*);
    using PutShort = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, short);
    using GetShort = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, short*);
    using Method = HRESULT(STDMETHODCALLTYPE*)(IUnknown*);
    using Checktime = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, VARIANT_BOOL*);

    for (int p = 0; p < 5; ++p) {
        const std::wstring value = L"value of slot " + std::to_wstring(first_slot + 2 * p + 1);
        Bstr in(value);
        ASSERT_EQ(reinterpret_cast<PutText>(vtable[first_slot + 2 * p + 1])(iface.get(), in.get()), S_OK);
    }
    for (int p = 0; p < 5; ++p) {
        Bstr out;
        ASSERT_EQ(reinterpret_cast<GetText>(vtable[first_slot + 2 * p])(iface.get(), out.put()), S_OK);
        EXPECT_EQ(out.str(), L"value of slot " + std::to_wstring(first_slot + 2 * p + 1));
        // The same property seen by name.
        EXPECT_EQ(get_text(object.get(), slots[2 * p].name), out.str());
    }
    ASSERT_EQ(reinterpret_cast<PutShort>(vtable[first_slot + 11])(iface.get(), 45), S_OK);
    short timeout = 0;
    ASSERT_EQ(reinterpret_cast<GetShort>(vtable[first_slot + 10])(iface.get(), &timeout), S_OK);
    EXPECT_EQ(timeout, 45);

    // check and checktime: a domain without mail exchangers ends the check
    // at once, and the watchdog it started (period 60 s) is far from its
    // limit.
    Bstr email(L"someone@nomx.wine.test");
    ASSERT_EQ(reinterpret_cast<PutText>(vtable[first_slot + 1])(iface.get(), email.get()), S_OK);
    ASSERT_EQ(reinterpret_cast<PutShort>(vtable[first_slot + 11])(iface.get(), 1000), S_OK);
    ASSERT_EQ(reinterpret_cast<Method>(vtable[first_slot + 12])(iface.get()), S_OK);
    ASSERT_EQ(reinterpret_cast<GetShort>(vtable[first_slot + 10])(iface.get(), &timeout), S_OK);
    EXPECT_EQ(timeout, 600);
    Bstr result;
    ASSERT_EQ(reinterpret_cast<GetText>(vtable[first_slot + 6])(iface.get(), result.put()), S_OK);
    EXPECT_EQ(result.str(), wide(golden::no_mail_server()));
    VARIANT_BOOL expired = VARIANT_TRUE;
    ASSERT_EQ(reinterpret_cast<Checktime>(vtable[first_slot + 13])(iface.get(), &expired), S_OK);
    EXPECT_EQ(expired, VARIANT_FALSE);
}

TEST_F(Identity, TypeLibraryDescribesLibraryInterfaceAndClass)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    Ref<ITypeInfo> info;
    ASSERT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, guid(iid_text));
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    const WORD both = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE;
    EXPECT_EQ(attr->wTypeFlags & (both | TYPEFLAG_FDISPATCHABLE), both | TYPEFLAG_FDISPATCHABLE)
        << "flags " << attr->wTypeFlags;
    info->ReleaseTypeAttr(attr);
    // Automation-compatible is a property of the vtable view.
    Ref<ITypeInfo> vtable = vtable_view(info.get());
    ASSERT_TRUE(vtable);
    ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->wTypeFlags & (both | TYPEFLAG_FOLEAUTOMATION), both | TYPEFLAG_FOLEAUTOMATION)
        << "flags " << attr->wTypeFlags;
    vtable->ReleaseTypeAttr(attr);

    // The types hosts see: timeout a 16-bit integer, checktime a boolean,
    // the rest strings.
    for (UINT i = 0; i < std::size(slots); ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i + first_slot, &f), S_OK);
        if (f->invkind == INVOKE_PROPERTYGET) {
            const std::wstring name = member_name(info.get(), f->memid);
            EXPECT_EQ(f->elemdescFunc.tdesc.vt, name == L"timeout" ? VT_I2 : VT_BSTR) << testing::PrintToString(name);
        }
        if (member_name(info.get(), f->memid) == L"checktime") {
            EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_BOOL);
        }
        info->ReleaseFuncDesc(f);
    }

    Ref<ITypeLib> library;
    UINT index = 0;
    ASSERT_EQ(info->GetContainingTypeLib(library.put(), &index), S_OK);
    TLIBATTR* lib = nullptr;
    ASSERT_EQ(library->GetLibAttr(&lib), S_OK);
    EXPECT_EQ(lib->guid, guid(libid_text));
    EXPECT_EQ(lib->wMajorVerNum, 7);
    EXPECT_EQ(lib->wMinorVerNum, 0);
    library->ReleaseTLibAttr(lib);
    Bstr lib_name;
    ASSERT_EQ(library->GetDocumentation(-1, lib_name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(lib_name.str(), L"verimex");

    Ref<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(guid(clsid_text), coclass.put()), S_OK);
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr->cImplTypes, 1);
    coclass->ReleaseTypeAttr(attr);
    EXPECT_EQ(member_name(coclass.get(), MEMBERID_NIL), L"quoverimex");
    INT impl_flags = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(0, &impl_flags), S_OK);
    EXPECT_TRUE(impl_flags & IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    Ref<ITypeInfo> default_interface;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, default_interface.put()), S_OK);
    EXPECT_EQ(member_name(default_interface.get(), MEMBERID_NIL), L"_quoverimex");
}

// ---- per DLL file, both bitnesses --------------------------------------------

class EachDll : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        dlls_ = env_list(L"VERIMEX_DLLS");
        ASSERT_FALSE(dlls_.empty()) << "VERIMEX_DLLS names no DLL";
    }
    std::vector<std::wstring> dlls_;
};

TEST_F(EachDll, ExportsTheFourEntryPointsAndImportsOnlySystemDlls)
{
    const std::set<std::string> exports = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                           "DllUnregisterServer"};
    // Statically linked: no compiler run-time DLL may be needed beside it.
    const std::set<std::string> system = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
                                          "oleaut32.dll", "user32.dll",   "ws2_32.dll"};
    for (const std::wstring& dll : dlls_) {
        SCOPED_TRACE(testing::PrintToString(dll));
        const PeFacts pe = read_pe(dll);
        EXPECT_TRUE(pe.machine == IMAGE_FILE_MACHINE_I386 || pe.machine == IMAGE_FILE_MACHINE_AMD64);
        EXPECT_EQ(pe.exports, exports);
        EXPECT_FALSE(pe.imports.empty());
        for (const std::string& import : pe.imports) {
            EXPECT_TRUE(system.count(import)) << import;
        }
    }
}

TEST_F(EachDll, CarriesTheTypeLibraryForItsPlatform)
{
    for (const std::wstring& dll : dlls_) {
        SCOPED_TRACE(testing::PrintToString(dll));
        Ref<ITypeLib> library;
        ASSERT_EQ(::LoadTypeLibEx(dll.c_str(), REGKIND_NONE, library.put()), S_OK);
        TLIBATTR* attr = nullptr;
        ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
        EXPECT_EQ(attr->guid, guid(libid_text));
        EXPECT_EQ(attr->wMajorVerNum, 7);
        EXPECT_EQ(attr->wMinorVerNum, 0);
        EXPECT_EQ(attr->syskind, read_pe(dll).machine == IMAGE_FILE_MACHINE_AMD64 ? SYS_WIN64 : SYS_WIN32);
        library->ReleaseTLibAttr(attr);
    }
}

TEST_F(EachDll, CarriesTheVersionRecord)
{
    for (const std::wstring& dll : dlls_) {
        SCOPED_TRACE(testing::PrintToString(dll));
        DWORD handle = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(dll.c_str(), &handle);
        ASSERT_GT(size, 0u);
        std::vector<char> record(size);
        ASSERT_TRUE(::GetFileVersionInfoW(dll.c_str(), 0, size, record.data()));

        EXPECT_EQ(version_string(record, L"FileVersion"), L"1.00");
        EXPECT_EQ(version_string(record, L"ProductVersion"), L"1.00");
        EXPECT_EQ(version_string(record, L"InternalName"), L"verimex");
        EXPECT_EQ(version_string(record, L"ProductName"), L"verimex");
        EXPECT_EQ(version_string(record, L"OriginalFilename"), L"verimex.dll");
        EXPECT_NE(version_string(record, L"OLESelfRegister"), L"<missing>");

        struct Translation {
            WORD language;
            WORD code_page;
        };
        void* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(::VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", &value, &length));
        ASSERT_GE(length, sizeof(Translation));
        EXPECT_EQ(static_cast<Translation*>(value)->language, 0x0409);
        EXPECT_EQ(static_cast<Translation*>(value)->code_page, 0x04B0);

        ASSERT_TRUE(::VerQueryValueW(record.data(), L"\\", &value, &length));
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
        EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    }
}

}  // namespace

}  // namespace wine_test
