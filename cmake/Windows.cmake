# The product: tolvarsdk.dll for 32-bit Windows, and what runs under Wine.
enable_language(RC)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(TOLVAR_BIN_DIR ${CMAKE_BINARY_DIR}/bin)

set(TOLVAR_DEF ${CMAKE_SOURCE_DIR}/include/tolvarsdk.def)
file(GLOB TOLVARSDK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)

add_library(tolvarsdk SHARED ${TOLVARSDK_SOURCES} ${CMAKE_SOURCE_DIR}/src/tolvarsdk.rc)
set_target_properties(tolvarsdk PROPERTIES PREFIX "" OUTPUT_NAME tolvarsdk
  LINK_DEPENDS ${TOLVAR_DEF})
target_include_directories(tolvarsdk PUBLIC ${CMAKE_SOURCE_DIR}/include
  PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(tolvarsdk PRIVATE TOLVARSDK_BUILDING WIN32_LEAN_AND_MEAN
  _WIN32_WINNT=0x0501)
target_compile_options(tolvarsdk PRIVATE -Os -Wall -Wextra -Werror -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
# The .def names each export with its stdcall decoration and its ordinal;
# --kill-at strips the decoration from the exported names. No mingw runtime
# DLL may be imported: a fresh Windows has none.
target_link_options(tolvarsdk PRIVATE ${TOLVAR_DEF} -Wl,--kill-at -static -static-libgcc
  -static-libstdc++ -s -Wl,--gc-sections -Wl,--subsystem,windows)
target_link_libraries(tolvarsdk PRIVATE shell32 shlwapi advapi32 user32 kernel32)

# ld's own import library carries undecorated symbols, which a stdcall
# caller cannot link against; dlltool -k writes _TolvarFlush@4 importing
# the name TolvarFlush. Run from the output folder so that no build path
# ends up inside the libraries.
add_custom_command(TARGET tolvarsdk POST_BUILD
  COMMAND ${CMAKE_DLLTOOL} -m i386 -k -d ${TOLVAR_DEF} -D tolvarsdk.dll -l libtolvarsdk.dll.a
  COMMAND ${CMAKE_DLLTOOL} -m i386 -k -d ${TOLVAR_DEF} -D tolvarsdk.dll -l tolvarsdk.lib
  WORKING_DIRECTORY $<TARGET_FILE_DIR:tolvarsdk>
  BYPRODUCTS ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a ${TOLVAR_BIN_DIR}/tolvarsdk.lib
  VERBATIM)

# Programs that link the DLL the way a customer does: through the import
# library and the public header only.
add_library(tolvarsdk_import INTERFACE)
add_dependencies(tolvarsdk_import tolvarsdk)
target_include_directories(tolvarsdk_import INTERFACE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(tolvarsdk_import INTERFACE ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a)

include(cmake/WineTesting.cmake)
foreach(dir driver tests/wine tools)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

# The SDK as a customer receives it.
install(FILES ${TOLVAR_BIN_DIR}/tolvarsdk.dll DESTINATION bin)
install(FILES ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a ${TOLVAR_BIN_DIR}/tolvarsdk.lib ${TOLVAR_DEF}
  DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/tolvarsdk.h DESTINATION include)
