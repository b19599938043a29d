# The Windows program, its simulated-dock variants and the Windows tests.
enable_language(RC)
include(ExternalProject)

add_compile_options(-Wall -Wextra -Wno-missing-field-initializers -Wno-cast-function-type)
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# One static exe importing only system DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

# --- libusb 1.0.28, built statically from the Debian source tarball ----------
set(LIBUSB_TARBALL ${VARNOCK_THIRD_PARTY}/src/libusb-1.0_1.0.28.orig.tar.bz2)
set(LIBUSB_PREFIX ${CMAKE_BINARY_DIR}/deps/libusb)
file(MAKE_DIRECTORY ${LIBUSB_PREFIX}/include/libusb-1.0)
ExternalProject_Add(libusb_build
  URL ${LIBUSB_TARBALL}
  URL_HASH SHA256=966bb0d231f94a474eaae2e67da5ec844d3527a1f386456394ff432580634b29
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE
  CONFIGURE_COMMAND <SOURCE_DIR>/configure --host=x86_64-w64-mingw32 --prefix=${LIBUSB_PREFIX}
    --enable-static --disable-shared --disable-examples-build --disable-tests-build
    CC=${CMAKE_C_COMPILER} "CFLAGS=-O2"
  BUILD_COMMAND make -j2
  INSTALL_COMMAND make install
  BUILD_BYPRODUCTS ${LIBUSB_PREFIX}/lib/libusb-1.0.a
  LOG_CONFIGURE TRUE LOG_BUILD TRUE LOG_INSTALL TRUE)
# Headers only: the simulated dock answers the same calls without the library.
add_library(libusb_headers INTERFACE)
target_include_directories(libusb_headers INTERFACE ${LIBUSB_PREFIX}/include/libusb-1.0)
add_dependencies(libusb_headers libusb_build)
add_library(libusb_static STATIC IMPORTED GLOBAL)
set_target_properties(libusb_static PROPERTIES IMPORTED_LOCATION ${LIBUSB_PREFIX}/lib/libusb-1.0.a)
target_link_libraries(libusb_static INTERFACE libusb_headers)

# --- spdlog and fmt: Debian's headers, their library parts compiled once ----
# Only the two library folders are exposed: /usr/include itself must never
# reach the cross compiler.
set(LOG_INCLUDE ${CMAKE_BINARY_DIR}/deps/log-include)
file(MAKE_DIRECTORY ${LOG_INCLUDE})
file(CREATE_LINK /usr/include/spdlog ${LOG_INCLUDE}/spdlog SYMBOLIC)
file(CREATE_LINK /usr/include/fmt ${LOG_INCLUDE}/fmt SYMBOLIC)
# Header-only, every file that logs compiled all of spdlog and fmt again
# (about three quarters of its build time). Their own source files, from the
# source tarballs of the installed versions (scripts/setup), are compiled once
# against the same installed headers; only their src/ folders are unpacked.
function(varnock_log_sources out package)
  file(GLOB tarball ${VARNOCK_THIRD_PARTY}/src/${package}_*.orig.tar.*)
  if(NOT tarball)
    message(FATAL_ERROR "No ${package} source tarball in ${VARNOCK_THIRD_PARTY}/src: run scripts/setup")
  endif()
  set(unpacked ${CMAKE_BINARY_DIR}/deps/src/${package})
  if(NOT EXISTS ${unpacked}/.unpacked OR ${tarball} IS_NEWER_THAN ${unpacked}/.unpacked)
    file(REMOVE_RECURSE ${unpacked})
    file(ARCHIVE_EXTRACT INPUT ${tarball} DESTINATION ${unpacked} PATTERNS "*/src/*")
    file(TOUCH ${unpacked}/.unpacked)
  endif()
  file(GLOB_RECURSE sources ${unpacked}/*/src/*.cpp ${unpacked}/*/src/*.cc)
  list(FILTER sources EXCLUDE REGEX "/src/fmt\\.(cc|cpp)$")  # module and bundled-fmt units: not wanted here
  set(${out} ${sources} PARENT_SCOPE)
endfunction()
varnock_log_sources(fmt_sources fmtlib)
varnock_log_sources(spdlog_sources spdlog)
add_library(log_libraries STATIC ${fmt_sources} ${spdlog_sources})
target_include_directories(log_libraries SYSTEM PUBLIC ${LOG_INCLUDE})
target_compile_definitions(log_libraries PUBLIC SPDLOG_COMPILED_LIB)
target_compile_options(log_libraries PRIVATE -w)
add_library(spdlog_headers INTERFACE)
target_link_libraries(spdlog_headers INTERFACE log_libraries)

# --- the program ------------------------------------------------------------
add_library(varnock_app STATIC
  base/log.cpp
  base/portable/exception_text.cpp
  base/final_path.cpp
  base/process_token.cpp
  base/portable/text_conversion.cpp
  base/portable/ui_text.cpp
  docks/portable/dock_identity.cpp
  docks/portable/dock_info.cpp
  docks/dock_query.cpp
  docks/portable/dock_count.cpp
  docks/dock_guard.cpp
  shell/window/device_list.cpp
  docks/portable/clipboard_text.cpp
  shell/window/clipboard.cpp
  docks/portable/device_paths.cpp
  shell/window/hotplug.cpp
  docks/portable/dock_report.cpp
  update/portable/firmware_image.cpp
  update/portable/updater_command.cpp
  update/portable/update_outcome.cpp
  update/portable/tool_output_line.cpp
  update/portable/tool_output_utf8.cpp
  update/portable/tool_output_marks.cpp
  update/portable/battery_rule.cpp
  update/portable/system_power_status.cpp
  update/power_request.cpp
  update/update_preflight.cpp
  update/portable/updater_trust_rule.cpp
  update/updater_trust.cpp
  shell/window/flash_command.cpp
  shell/window/taskbar_busy.cpp
  update/updater_process.cpp
  shell/window/updater_runner.cpp
  shell/window/update_lock.cpp
  shell/command_line/flash_hold.cpp
  shell/window/wait_dialog.cpp
  update/dock_after_flash.cpp
  update/image_hash.cpp
  update/image_copy.cpp
  update/updater_signature.cpp
  shell/window/startup.cpp
  shell/window/main_window.cpp
  shell/window/flash_watch.cpp
  shell/window/menus.cpp
  shell/command_line/portable/command_line_parse.cpp
  shell/command_line/portable/update_result.cpp
  shell/command_line/command_line_run.cpp
  shell/command_line/console.cpp
  shell/dll_search.cpp
  shell/internal_error.cpp
  shell/command_line/tool_output_pass_through.cpp)
target_include_directories(varnock_app PUBLIC ${CMAKE_SOURCE_DIR})
# Parsed once for the library's forty files instead of in each.
target_precompile_headers(varnock_app PRIVATE <windows.h> <spdlog/spdlog.h> <string> <vector>)
target_link_libraries(varnock_app PUBLIC spdlog_headers libusb_headers
  comctl32 comdlg32 shell32 ole32 uuid user32 gdi32 wintrust crypt32 advapi32 kernel32)

set(VARNOCK_RC ${CMAKE_SOURCE_DIR}/resources/app.rc)
set(VARNOCK_ICON ${CMAKE_BINARY_DIR}/resources/app.ico)
add_custom_command(OUTPUT ${VARNOCK_ICON}
  COMMAND python3 ${CMAKE_SOURCE_DIR}/resources/make_icon.py ${VARNOCK_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/make_icon.py)
add_custom_target(app_icon DEPENDS ${VARNOCK_ICON})
set_source_files_properties(${VARNOCK_RC} PROPERTIES
  OBJECT_DEPENDS "${VARNOCK_ICON};${CMAKE_BINARY_DIR}/resources/app.manifest;${CMAKE_BINARY_DIR}/resources/product_version.h;${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/product.h")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001 -I${CMAKE_BINARY_DIR}/resources -I${CMAKE_SOURCE_DIR}/resources")

# The file descriptors the updater check reads; the demo and the tests link a stand-in.
add_library(varnock_file_security STATIC update/updater_file_security.cpp)
target_link_libraries(varnock_file_security PUBLIC varnock_app advapi32)

# The product: real libusb, the system's own power status and file
# descriptors, nothing simulated.
# Both carry a load configuration that the linker leaves unreferenced: the
# step after the link points the PE's entry at it (imports from System32 only).
set(VARNOCK_LOAD_CONFIGURATION ${CMAKE_SOURCE_DIR}/shell/load_configuration.cpp)
set(VARNOCK_SET_LOAD_CONFIGURATION python3 ${CMAKE_SOURCE_DIR}/cmake/set_load_configuration.py ${CMAKE_NM})
add_executable(VarnockFWUpdate WIN32 shell/main.cpp update/power_status.cpp ${VARNOCK_LOAD_CONFIGURATION} ${VARNOCK_RC})
target_link_libraries(VarnockFWUpdate PRIVATE varnock_app varnock_file_security libusb_static)
target_link_options(VarnockFWUpdate PRIVATE -municode)
add_dependencies(VarnockFWUpdate app_icon)
# A stripped copy for size checks and the release zip.
add_custom_command(TARGET VarnockFWUpdate POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:VarnockFWUpdate> ${CMAKE_BINARY_DIR}/stripped/VarnockFWUpdate.exe
  COMMAND ${VARNOCK_SET_LOAD_CONFIGURATION} $<TARGET_FILE:VarnockFWUpdate> ${CMAKE_BINARY_DIR}/stripped/VarnockFWUpdate.exe
  BYPRODUCTS ${CMAKE_BINARY_DIR}/stripped/VarnockFWUpdate.exe)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/stripped)

# Its console twin for prompts and scripts: the same command line, no window.
add_executable(VarnockFWUpdateCli shell/cli_main.cpp update/power_status.cpp ${VARNOCK_LOAD_CONFIGURATION} ${VARNOCK_RC})
set_target_properties(VarnockFWUpdateCli PROPERTIES OUTPUT_NAME VarnockFWUpdate-cli)
target_link_libraries(VarnockFWUpdateCli PRIVATE varnock_app varnock_file_security libusb_static)
target_link_options(VarnockFWUpdateCli PRIVATE -municode)
add_dependencies(VarnockFWUpdateCli app_icon)
add_custom_command(TARGET VarnockFWUpdateCli POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:VarnockFWUpdateCli> ${CMAKE_BINARY_DIR}/stripped/VarnockFWUpdate-cli.exe
  COMMAND ${VARNOCK_SET_LOAD_CONFIGURATION} $<TARGET_FILE:VarnockFWUpdateCli> ${CMAKE_BINARY_DIR}/stripped/VarnockFWUpdate-cli.exe
  BYPRODUCTS ${CMAKE_BINARY_DIR}/stripped/VarnockFWUpdate-cli.exe)

foreach(dir standins tests demo packaging bench)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
