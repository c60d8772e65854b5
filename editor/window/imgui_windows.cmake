# Debian ships Dear ImGui only as a Linux library. The Windows build compiles
# the same version from Debian's source package, unpacked into the build tree
# at configure time; nothing of it is kept in the repository. The package
# comes from KELVANE_DEB_SOURCE_CACHE (filled by scripts/install-deps.sh, so
# builds work offline) or, failing that, from `apt-get source`.
# Sets KELVANE_IMGUI_TARGET to the static library, or leaves it empty.
set(KELVANE_IMGUI_TARGET "")
set(KELVANE_DEB_SOURCE_CACHE /var/cache/kelvane/deb-src CACHE PATH
    "Debian source packages the Windows build compiles (ImGui)")
set(imgui_root ${CMAKE_BINARY_DIR}/imgui)
set(imgui_dir ${imgui_root}/imgui)

if(NOT EXISTS ${imgui_dir}/imgui.cpp)
  # The version of the installed headers, so both builds draw the same.
  execute_process(COMMAND dpkg-query -W -f=\${source:Version} libimgui-dev
                  OUTPUT_VARIABLE imgui_version RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR imgui_version STREQUAL "")
    message(STATUS "libimgui-dev is not installed: the Windows editor is not built")
    return()
  endif()
  string(REGEX REPLACE "^[0-9]+:" "" imgui_file_version "${imgui_version}")
  set(dsc ${KELVANE_DEB_SOURCE_CACHE}/imgui_${imgui_file_version}.dsc)
  if(NOT EXISTS ${dsc})
    set(download_dir ${CMAKE_BINARY_DIR}/imgui-deb)
    file(MAKE_DIRECTORY ${download_dir})
    set(dsc ${download_dir}/imgui_${imgui_file_version}.dsc)
    if(NOT EXISTS ${dsc})
      message(STATUS "Fetching Debian's ImGui ${imgui_version} source package")
      execute_process(COMMAND apt-get source --download-only imgui=${imgui_version}
                      WORKING_DIRECTORY ${download_dir} OUTPUT_QUIET ERROR_QUIET)
    endif()
  endif()
  if(EXISTS ${dsc})
    file(REMOVE_RECURSE ${imgui_dir})
    file(MAKE_DIRECTORY ${imgui_root})
    execute_process(COMMAND dpkg-source --no-check -x ${dsc} ${imgui_dir} OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(NOT EXISTS ${imgui_dir}/imgui.cpp)
    message(STATUS "No ImGui source package (needs a deb-src line, see scripts/install-deps.sh): "
                   "the Windows editor is not built")
    return()
  endif()
endif()

# Debian builds ImGui over libstb's rasteriser and packer; the headers serve
# both targets. A link beside the sources keeps /usr/include off the cross
# compiler's search path.
if(NOT EXISTS /usr/include/stb/stb_truetype.h OR NOT EXISTS /usr/include/stb/stb_rect_pack.h)
  message(STATUS "libstb-dev is not installed: the Windows editor is not built")
  return()
endif()
if(NOT EXISTS ${imgui_root}/stb)
  file(CREATE_LINK /usr/include/stb ${imgui_root}/stb SYMBOLIC)
endif()

add_library(kelvane_imgui STATIC ${imgui_dir}/imgui.cpp ${imgui_dir}/imgui_draw.cpp ${imgui_dir}/imgui_tables.cpp
            ${imgui_dir}/imgui_widgets.cpp ${CMAKE_CURRENT_SOURCE_DIR}/stb_implementation.cpp)
target_include_directories(kelvane_imgui SYSTEM PUBLIC ${imgui_root})
target_compile_definitions(kelvane_imgui PRIVATE
  IMGUI_DISABLE_STB_RECT_PACK_IMPLEMENTATION "IMGUI_STB_RECT_PACK_FILENAME=<stb/stb_rect_pack.h>"
  IMGUI_DISABLE_STB_TRUETYPE_IMPLEMENTATION "IMGUI_STB_TRUETYPE_FILENAME=<stb/stb_truetype.h>"
  # The editor takes no IME input; this keeps imm32.dll out of the imports.
  IMGUI_DISABLE_WIN32_DEFAULT_IME_FUNCTIONS)
target_compile_options(kelvane_imgui PRIVATE -w)
set(KELVANE_IMGUI_TARGET kelvane_imgui)
