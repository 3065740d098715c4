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
foreach(dir driver tests/wine tools bench)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

# The SDK as a customer receives it.
install(FILES ${TOLVAR_BIN_DIR}/tolvarsdk.dll DESTINATION bin)
install(FILES ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a ${TOLVAR_BIN_DIR}/tolvarsdk.lib ${TOLVAR_DEF}
  DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/tolvarsdk.h DESTINATION include)

# The SDK's CMake package, so that find_package(tolvarsdk) works on the
# installed tree (tolvarctl installs itself from tools/tolvarctl).
include(CMakePackageConfigHelpers)
set(TOLVARSDK_BIN_DIR bin)
set(TOLVARSDK_LIB_DIR lib)
set(TOLVARSDK_INCLUDE_DIR include)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/tolvarsdkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package-config/tolvarsdkConfig.cmake
  INSTALL_DESTINATION lib/cmake/tolvarsdk
  PATH_VARS TOLVARSDK_BIN_DIR TOLVARSDK_LIB_DIR TOLVARSDK_INCLUDE_DIR)
# The version check also compares pointer sizes: a 64-bit consumer cannot
# use a 32-bit DLL and is told so at find_package.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package-config/tolvarsdkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package-config/tolvarsdkConfig.cmake
  ${CMAKE_BINARY_DIR}/package-config/tolvarsdkConfigVersion.cmake
  DESTINATION lib/cmake/tolvarsdk)

# The SDK as a zip (CPack's ZIP generator), made by every build that changed
# a file of it: the tree is installed into a staging folder and CPack packs
# that folder. CPack is kept from installing the project itself, which would
# make it build the project from inside its own build.
set(TOLVARSDK_STAGE ${CMAKE_BINARY_DIR}/sdk-stage)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tolvarsdk)
set(CPACK_PACKAGE_VENDOR tolvarsdk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tolvarsdk-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INSTALL_CMAKE_PROJECTS "")
set(CPACK_INSTALLED_DIRECTORIES ${TOLVARSDK_STAGE} .)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

set(TOLVARSDK_ZIP ${CMAKE_BINARY_DIR}/package/${CPACK_PACKAGE_FILE_NAME}.zip)
set(tolvarsdk_package_inputs ${TOLVAR_BIN_DIR}/tolvarsdk.dll ${TOLVAR_DEF}
  ${CMAKE_SOURCE_DIR}/include/tolvarsdk.h ${CMAKE_SOURCE_DIR}/cmake/tolvarsdkConfig.cmake.in)
if(TARGET tolvarctl)
  list(APPEND tolvarsdk_package_inputs $<TARGET_FILE:tolvarctl>)
endif()
add_custom_command(OUTPUT ${TOLVARSDK_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TOLVARSDK_STAGE}
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${TOLVARSDK_STAGE}
  COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  DEPENDS ${tolvarsdk_package_inputs}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Packing the SDK into ${CPACK_PACKAGE_FILE_NAME}.zip"
  VERBATIM)
add_custom_target(sdk_package ALL DEPENDS ${TOLVARSDK_ZIP})
add_dependencies(sdk_package tolvarsdk)
if(TARGET tolvarctl)
  add_dependencies(sdk_package tolvarctl)
endif()

# A separate project builds against the installed SDK through
# find_package(tolvarsdk) with this same toolchain, and runs under Wine.
add_test(NAME sdk.consumer COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/check.sh
  ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/consumer-check ${CMAKE_TOOLCHAIN_FILE})
set_tests_properties(sdk.consumer PROPERTIES FIXTURES_REQUIRED wine
  TIMEOUT ${TOLVAR_WINE_TEST_TIMEOUT}
  ENVIRONMENT "${TOLVAR_WINE_ENV}" RESOURCE_LOCK wine_session_state)
