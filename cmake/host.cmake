# Native Linux build: the portable dock query against real libusb, tested
# with an emulated dock (umockdev).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
find_package(spdlog REQUIRED)

add_compile_options(-Wall -Wextra)

# The sanitizer build (preset "sanitize", clang): every native target with
# AddressSanitizer and UndefinedBehaviorSanitizer, any finding fatal, and the
# fuzz targets over the portable library.
option(VARNOCK_SANITIZE "Native tests under ASan and UBSan, and the fuzz targets" OFF)
if(VARNOCK_SANITIZE)
  set(VARNOCK_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${VARNOCK_SANITIZERS})
  add_link_options(${VARNOCK_SANITIZERS})
endif()
# Every product file that claims to be portable builds here too, so that the
# claim is checked; their unit tests run natively (tests/host/portable_tests).
# Portable code lives in the layers' portable/ folders: the native build
# takes whatever is there, so a file's place is its claim.
file(GLOB varnock_portable_sources CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/base/portable/*.cpp
  ${CMAKE_SOURCE_DIR}/docks/portable/*.cpp
  ${CMAKE_SOURCE_DIR}/update/portable/*.cpp
  ${CMAKE_SOURCE_DIR}/shell/command_line/portable/*.cpp)
add_library(varnock_portable STATIC ${varnock_portable_sources})
target_include_directories(varnock_portable PUBLIC ${CMAKE_SOURCE_DIR})
if(VARNOCK_SANITIZE)
  # Coverage for the fuzzer's guidance; the tests that link it run as usual.
  target_compile_options(varnock_portable PRIVATE -fsanitize=fuzzer-no-link)
endif()

add_library(dock_query_host STATIC docks/dock_query.cpp)
target_link_libraries(dock_query_host PUBLIC varnock_portable PkgConfig::LIBUSB spdlog::spdlog)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/host/CMakeLists.txt)
  add_subdirectory(tests/host)
endif()
if(VARNOCK_SANITIZE)
  add_subdirectory(fuzz)
endif()
