#include "shell/dll_search.h"

void NarrowDllSearch() {
  // Looked up by name: a Windows 7 without its loader update lacks it, and
  // then the current folder's removal below is what is left.
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefault != nullptr) setDefault(DLL_SEARCH_FOLDERS);
  SetDllDirectoryW(L"");
}
