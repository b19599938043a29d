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
add_library(varnock_portable STATIC
  base/text_conversion.cpp
  base/exception_text.cpp
  base/ui_text.cpp
  docks/dock_identity.cpp
  docks/dock_info.cpp
  docks/dock_report.cpp
  docks/dock_count.cpp
  docks/clipboard_text.cpp
  docks/device_paths.cpp
  update/firmware_image.cpp
  update/battery_rule.cpp
  update/system_power_status.cpp
  update/update_outcome.cpp
  update/tool_output_line.cpp
  update/tool_output_utf8.cpp
  update/tool_output_marks.cpp
  update/updater_command.cpp
  update/updater_trust_rule.cpp
  shell/command_line_parse.cpp
  shell/update_result.cpp)
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
