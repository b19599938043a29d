#pragma once
// Product texts that both the resource script and the code state. The
// resource compiler reads only preprocessor definitions, so these stay macros.
#define VARNOCK_COPYRIGHT "Copyright (C) 2026 Varnock. All rights reserved."

// VARNOCK_VERSION and its four numbers, written by CMake from CMakeLists.txt.
#include "product_version.h"
