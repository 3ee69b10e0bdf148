# Third-party sources, pinned in third_party/ (see its README). They build as
# their own targets without our warning flags so a rebuild of our code never
# touches them.
set(OSTREL_DEPS_DIR "${CMAKE_SOURCE_DIR}/third_party")

set(IMGUI_DIR "${OSTREL_DEPS_DIR}/imgui")
add_library(imgui STATIC
  ${IMGUI_DIR}/imgui.cpp
  ${IMGUI_DIR}/imgui_draw.cpp
  ${IMGUI_DIR}/imgui_tables.cpp
  ${IMGUI_DIR}/imgui_widgets.cpp
  ${IMGUI_DIR}/misc/cpp/imgui_stdlib.cpp)
target_include_directories(imgui SYSTEM PUBLIC ${IMGUI_DIR} ${IMGUI_DIR}/misc/cpp ${IMGUI_DIR}/backends)

# Win32 and Direct3D 11 back ends: only the real window links them.
add_library(imgui_win32_dx11 STATIC
  ${IMGUI_DIR}/backends/imgui_impl_win32.cpp
  ${IMGUI_DIR}/backends/imgui_impl_dx11.cpp)
target_link_libraries(imgui_win32_dx11 PUBLIC imgui delay_d3d11 delay_d3dcompiler delay_dxgi delay_dwmapi gdi32)
# No gamepad: the wizard navigates by keyboard only, and unloading XInput at
# shutdown races Wine's XInput thread, which then crashes the exiting process.
target_compile_definitions(imgui_win32_dx11 PRIVATE IMGUI_IMPL_WIN32_DISABLE_GAMEPAD)

# Headless frames for the tests.
add_library(imgui_null STATIC ${IMGUI_DIR}/backends/imgui_impl_null.cpp)
target_link_libraries(imgui_null PUBLIC imgui)

# zlib from Debian's libz-mingw-w64-dev, linked statically (the package also
# ships an import library; naming the .a keeps the setup free of zlib1.dll).
find_path(OSTREL_ZLIB_INCLUDE zlib.h)
find_library(OSTREL_ZLIB_LIBRARY NAMES libz.a)
if(NOT OSTREL_ZLIB_INCLUDE OR NOT OSTREL_ZLIB_LIBRARY)
  message(FATAL_ERROR "The static mingw-w64 zlib is missing: install libz-mingw-w64-dev (scripts/deps)")
endif()
add_library(zlib_static STATIC IMPORTED)
set_target_properties(zlib_static PROPERTIES
  IMPORTED_LOCATION "${OSTREL_ZLIB_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${OSTREL_ZLIB_INCLUDE}")

set(MINIZ_DIR "${OSTREL_DEPS_DIR}/miniz")
file(WRITE "${CMAKE_BINARY_DIR}/miniz-gen/miniz_export.h" "#pragma once\n#define MINIZ_EXPORT\n")
# miniz's own CRC-32 goes a byte at a time and was half of the unpack's CPU
# time; USE_EXTERNAL_MZCRC makes it take ours, which is zlib's.
add_library(miniz STATIC
  ${MINIZ_DIR}/miniz.c ${MINIZ_DIR}/miniz_tdef.c ${MINIZ_DIR}/miniz_tinfl.c ${MINIZ_DIR}/miniz_zip.c
  ${CMAKE_SOURCE_DIR}/src/package/miniz_crc32.c)
target_include_directories(miniz SYSTEM PUBLIC ${MINIZ_DIR} "${CMAKE_BINARY_DIR}/miniz-gen")
target_compile_definitions(miniz PUBLIC MINIZ_NO_ZLIB_COMPATIBLE_NAMES PRIVATE USE_EXTERNAL_MZCRC)
target_link_libraries(miniz PRIVATE zlib_static)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/package/miniz_crc32.c PROPERTIES
  COMPILE_OPTIONS "-Wall;-Wextra;-Werror")

add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE "${OSTREL_DEPS_DIR}/nlohmann_json/single_include")
