// What the parts of the COM server share: the class's names, the module's
// own path and type library.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>

#include "component/com/ref.h"

namespace verimex::com {

inline constexpr const wchar_t* prog_id = L"verimex.quoverimex";

// The full path of verimex.dll itself.
std::wstring module_path();

// The type library embedded in this module (resource TYPELIB 1), loaded
// without touching the registry.
HRESULT load_type_library(Ref<ITypeLib>& library);

}  // namespace verimex::com
