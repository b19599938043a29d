// The executable's load configuration, which the loader reads before any of
// our code runs: its DependentLoadFlags (the field the headers still call
// Reserved1) make Windows resolve the program's imports from System32 only.
// The linker does not fill the PE's load-configuration entry; the build
// points it here after linking (cmake/set_load_configuration.py).
#include <windows.h>

#include "shell/dll_search.h"

namespace {

constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 LoadConfiguration() {
  IMAGE_LOAD_CONFIG_DIRECTORY64 configuration{};
  configuration.Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64);
  configuration.Reserved1 = static_cast<WORD>(DLL_SEARCH_FOLDERS);
  return configuration;
}

}  // namespace

extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = LoadConfiguration();
