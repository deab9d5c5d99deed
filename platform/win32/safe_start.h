// What a program does first on Windows, and how it reaches the system libraries that are not
// KnownDLLs: from System32 only, bound by library and entry-point name when first called. A DLL
// of the same name lying beside the program (a Downloads folder) is never loaded, also not by the
// system's own libraries on our behalf.
#pragma once

#include "platform/win32/system.h"

namespace platform::win32 {

// The first call of every entry point: DLLs load from System32 only.
void StartSafely();

// The entry point of a library in System32, loaded on first use; throws platform::Error when the
// library or the entry point is missing.
FARPROC SystemProcedure(const wchar_t* library, const char* name);

template <class Function>
Function* SystemFunction(const wchar_t* library, const char* name) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(SystemProcedure(library, name)));
}

}  // namespace platform::win32

// A function of a system library called by name, bound once per place of use:
//   SYSTEM_CALL(L"ws2_32.dll", recv)(socket, buffer, length, 0)
#define SYSTEM_CALL(library, function)                                               \
  ([]() -> decltype(::function)& {                                                   \
    static decltype(::function)* const bound =                                       \
        ::platform::win32::SystemFunction<decltype(::function)>(library, #function); \
    return *bound;                                                                   \
  }())
