// Text at the Windows boundary. The library's own code keeps text as UTF-8;
// Windows hands out and takes UTF-16 (BSTR, the W calls) and the narrow
// (ANSI) code page (the lookup tool's command line and output). These are
// the only conversions between them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace verimex::platform::win32 {

// Bytes that are not valid in code_page do not stop the conversion: they
// become U+FFFD (UTF-8) or whatever the code page maps them to.
std::wstring widen(std::string_view text, UINT code_page);
// Characters code_page cannot hold become its default character ('?' for
// the ANSI pages), never a look-alike (no best fit); an unpaired surrogate
// becomes U+FFFD in UTF-8.
std::string narrow(std::wstring_view text, UINT code_page);

// The module (DLL or program) this code was linked into.
HMODULE this_module();

}  // namespace verimex::platform::win32
