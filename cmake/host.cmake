# Native Linux build: the portable dock query against real libusb, tested
# with an emulated dock (umockdev).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
find_package(spdlog REQUIRED)

add_compile_options(-Wall -Wextra)
add_library(dock_query_host STATIC docks/dock_query.cpp docks/ascii_text.cpp)
target_include_directories(dock_query_host PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(dock_query_host PUBLIC PkgConfig::LIBUSB spdlog::spdlog)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/host/CMakeLists.txt)
  add_subdirectory(tests/host)
endif()
