# Native Linux build: the portable dock query against real libusb, tested
# with an emulated dock (umockdev).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
find_package(spdlog REQUIRED)

add_compile_options(-Wall -Wextra)
# Every product file that claims to be portable builds here too, so that the
# claim is checked; their unit tests run natively (tests/host/portable_tests).
add_library(varnock_portable STATIC
  base/text_conversion.cpp
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
  update/updater_command.cpp
  update/updater_trust_rule.cpp
  shell/command_line_parse.cpp
  shell/update_result.cpp)
target_include_directories(varnock_portable PUBLIC ${CMAKE_SOURCE_DIR})

add_library(dock_query_host STATIC docks/dock_query.cpp)
target_link_libraries(dock_query_host PUBLIC varnock_portable PkgConfig::LIBUSB spdlog::spdlog)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/host/CMakeLists.txt)
  add_subdirectory(tests/host)
endif()
