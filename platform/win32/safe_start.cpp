#include "platform/win32/safe_start.h"

#include "platform/error.h"

namespace platform::win32 {

void StartSafely() { ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

FARPROC SystemProcedure(const wchar_t* library, const char* name) {
  // Loaded for the life of the process, as a DLL of the import table would be.
  HMODULE module = ::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    const DWORD error = ::GetLastError();
    throw Error(std::int32_t(error), SystemText(error) + "：" + Utf8(library));
  }
  const FARPROC procedure = ::GetProcAddress(module, name);
  if (procedure == nullptr) {
    const DWORD error = ::GetLastError();
    throw Error(std::int32_t(error), SystemText(error) + "：" + Utf8(library) + " " + name);
  }
  return procedure;
}

}  // namespace platform::win32
