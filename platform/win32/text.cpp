// Conversions between UTF-8, UTF-16 and the ANSI code page, and the handle
// of the module the library lives in.
#include "platform/win32/text.h"

#include <climits>
#include <stdexcept>
#include <system_error>

namespace verimex::platform::win32 {

namespace {

int checked_length(std::size_t n)
{
    if (n > static_cast<std::size_t>(INT_MAX))
        throw std::length_error("verimex: text too long to convert");
    return static_cast<int>(n);
}

[[noreturn]] void conversion_failed(const char* what)
{
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

}  // namespace

std::wstring widen(std::string_view text, UINT code_page)
{
    if (text.empty())
        return {};
    const int in = checked_length(text.size());
    const int n = ::MultiByteToWideChar(code_page, 0, text.data(), in, nullptr, 0);
    if (n <= 0)
        conversion_failed("verimex: MultiByteToWideChar");
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    if (::MultiByteToWideChar(code_page, 0, text.data(), in, out.data(), n) != n)
        conversion_failed("verimex: MultiByteToWideChar");
    return out;
}

std::string narrow(std::wstring_view text, UINT code_page)
{
    if (text.empty())
        return {};
    const int in = checked_length(text.size());
    // NOTE: by default a character the code page lacks becomes a look-alike
    // it has ("best fit"): a fullwidth quote a '"', a fullwidth hyphen a
    // '-'. In a command line those split words and make options, so here it
    // becomes the default character instead. UTF-8 holds every character
    // and takes no flags.
    const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n = ::WideCharToMultiByte(code_page, flags, text.data(), in, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        conversion_failed("verimex: WideCharToMultiByte");
    std::string out(static_cast<std::size_t>(n), '\0');
    if (::WideCharToMultiByte(code_page, flags, text.data(), in, out.data(), n, nullptr, nullptr) != n)
        conversion_failed("verimex: WideCharToMultiByte");
    return out;
}

HMODULE this_module()
{
    // Asked by address rather than kept from DllMain, so the same code
    // works linked into a program (the tests) as well as into the DLL.
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&this_module), &module);
    return module;
}

}  // namespace verimex::platform::win32
