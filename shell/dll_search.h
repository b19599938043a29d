#pragma once
// The folders Windows searches for the DLLs this process loads: System32
// only, never the folder the program was started from or its working
// folder (a Downloads folder may hold a planted version.dll). Both
// executables also carry LOAD_LIBRARY_SEARCH_SYSTEM32 in their load
// configuration (load_configuration.cpp), so their imports resolve the same
// way before any code of ours runs.
#include <windows.h>

inline constexpr DWORD DLL_SEARCH_FOLDERS = LOAD_LIBRARY_SEARCH_SYSTEM32;

// First thing at both entry points.
void NarrowDllSearch();
