# Delay-import libraries for the system DLLs that are not KnownDLLs.
#
# The loader resolves static imports before our first line runs, searching the
# executable's own folder first: a planted winhttp.dll in Downloads would run
# inside the setup. These DLLs are instead loaded on first use, after the entry
# point has restricted the search to the system folder.
find_program(MINGW_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)
find_program(MINGW_NM x86_64-w64-mingw32-nm REQUIRED)

function(ostrel_delay_import target importlib dllname)
  find_file(_lib_${target} lib${importlib}.a PATHS /usr/x86_64-w64-mingw32/lib NO_DEFAULT_PATH REQUIRED)
  set(out "${CMAKE_BINARY_DIR}/delayimp/lib${importlib}_delay.a")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_SOURCE_DIR}/tools/delay-import-lib "${MINGW_NM}" "${MINGW_DLLTOOL}" "${_lib_${target}}" "${dllname}" "${out}"
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/delay-import-lib
    VERBATIM)
  add_custom_target(${target}_gen DEPENDS "${out}")
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION "${out}" INTERFACE_LINK_LIBRARIES delayimp)
  add_dependencies(${target} ${target}_gen)
endfunction()

ostrel_delay_import(delay_winhttp winhttp winhttp.dll)
ostrel_delay_import(delay_bcrypt bcrypt bcrypt.dll)
ostrel_delay_import(delay_d3d11 d3d11 d3d11.dll)
ostrel_delay_import(delay_dxgi dxgi dxgi.dll)
ostrel_delay_import(delay_d3dcompiler d3dcompiler d3dcompiler_47.dll)
ostrel_delay_import(delay_dwmapi dwmapi dwmapi.dll)
ostrel_delay_import(delay_oleacc oleacc oleacc.dll)
