# The product: tolvarsdk.dll for 32-bit (x86), 64-bit (x64) or ARM64
# Windows, as the toolchain file says, and what runs under Wine. All come
# from the same sources; what differs between the architectures (the export
# list's form, the entry points, the C run-time, the SDK's folders, where
# their Wine runs) is read from the architecture's description,
# cmake/<arch>.arch, as TOLVAR_<KEY>.
enable_language(RC)
include(${CMAKE_CURRENT_LIST_DIR}/Architectures.cmake)
# This build's architecture is recognised from its toolchain as a
# consumer's is (tolvarsdkConfig.cmake).
set(TOLVAR_ARCH_DIR ${CMAKE_SOURCE_DIR}/cmake)
file(GLOB TOLVAR_ARCH_DESCRIPTIONS CONFIGURE_DEPENDS ${TOLVAR_ARCH_DIR}/*.arch)
_tolvarsdk_recognise_arch(${TOLVAR_ARCH_DIR} TOLVAR_ARCH)
if(NOT TOLVAR_ARCH)
  message(FATAL_ERROR "No architecture described in ${TOLVAR_ARCH_DIR} (*.arch) is built by this "
    "toolchain (CMAKE_SYSTEM_PROCESSOR ${CMAKE_SYSTEM_PROCESSOR}, pointer size ${CMAKE_SIZEOF_VOID_P})")
endif()
_tolvarsdk_read_arch(${TOLVAR_ARCH_DIR}/${TOLVAR_ARCH}.arch TOLVAR)
if(NOT TOLVAR_SYSTEM_IMPORTS STREQUAL mingw-w64)
  # No mingw-w64 libraries exist for this architecture here: the system
  # DLLs' import libraries are made at configure time from the lists of
  # what its binaries import, and nothing else is linked by default.
  set(TOLVAR_SYSTEM_IMPORTS_DIR ${CMAKE_BINARY_DIR}/system-imports)
  file(MAKE_DIRECTORY ${TOLVAR_SYSTEM_IMPORTS_DIR})
  file(GLOB system_defs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${TOLVAR_SYSTEM_IMPORTS}/*.def)
  foreach(def ${system_defs})
    get_filename_component(name ${def} NAME_WE)
    execute_process(COMMAND ${CMAKE_DLLTOOL} -m ${TOLVAR_DLLTOOL_MACHINE} -d ${def} -l lib${name}.a
      WORKING_DIRECTORY ${TOLVAR_SYSTEM_IMPORTS_DIR} COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  endforeach()
  link_directories(${TOLVAR_SYSTEM_IMPORTS_DIR})
  set(CMAKE_C_STANDARD_LIBRARIES "")
  set(CMAKE_CXX_STANDARD_LIBRARIES "")
endif()
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# Reproducible binaries: the same commit gives the same bytes wherever and
# whenever it is built. The PE header's TimeDateStamp is left zero, and the
# source and build folders are written as "." wherever the compiler would
# name them (__FILE__ in assertions, debug sections before stripping).
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")
add_link_options(-Wl,--no-insert-timestamp)
set(TOLVAR_BIN_DIR ${CMAKE_BINARY_DIR}/bin)
# Where this architecture's files go in the SDK.
set(TOLVARSDK_BIN_DIR bin/${TOLVAR_ARCH})
set(TOLVARSDK_LIB_DIR lib/${TOLVAR_ARCH})

# Export and import lists are written once, in x86's form: each name with
# its stdcall decoration and its ordinal. An architecture whose stdcall
# names are decorated reads such a list as it is: --kill-at strips the
# decorations from the exported names, and dlltool -k writes import symbols
# such as _TolvarFlush@4 importing the name TolvarFlush (ld's own import
# library is undecorated, which a stdcall caller cannot link against). The
# others have no decorations, so their list is derived at build time.
if(TOLVAR_STDCALL_DECORATION)
  set(TOLVAR_DEF_LINK_OPTIONS -Wl,--kill-at)
  set(TOLVAR_DLLTOOL_OPTIONS -k)
else()
  set(TOLVAR_DEF_LINK_OPTIONS)
  set(TOLVAR_DLLTOOL_OPTIONS)
endif()
# tolvar_arch_def(<decorated .def> <variable>): sets <variable> to the list
# this architecture reads: the file itself where stdcall names are
# decorated, else a derived one in the current binary folder.
function(tolvar_arch_def decorated variable)
  if(TOLVAR_STDCALL_DECORATION)
    set(${variable} ${decorated} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(name ${decorated} NAME)
  set(derived ${CMAKE_CURRENT_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${derived}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${decorated} -DOUTPUT=${derived}
            -P ${CMAKE_SOURCE_DIR}/cmake/undecorate-def.cmake
    DEPENDS ${decorated} ${CMAKE_SOURCE_DIR}/cmake/undecorate-def.cmake
    COMMENT "Deriving the undecorated form of ${name}" VERBATIM)
  set(${variable} ${derived} PARENT_SCOPE)
endfunction()

set(TOLVAR_DECORATED_DEF ${CMAKE_SOURCE_DIR}/include/tolvarsdk.def)
tolvar_arch_def(${TOLVAR_DECORATED_DEF} TOLVAR_DEF)
add_custom_target(tolvarsdk_def DEPENDS ${TOLVAR_DEF})

file(GLOB TOLVARSDK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)

add_library(tolvarsdk SHARED ${TOLVARSDK_SOURCES} ${CMAKE_SOURCE_DIR}/src/tolvarsdk.rc)
add_dependencies(tolvarsdk tolvarsdk_def)
set_target_properties(tolvarsdk PROPERTIES PREFIX "" OUTPUT_NAME tolvarsdk
  LINK_DEPENDS ${TOLVAR_DEF})
target_include_directories(tolvarsdk PUBLIC ${CMAKE_SOURCE_DIR}/include
  PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(tolvarsdk PRIVATE TOLVARSDK_BUILDING WIN32_LEAN_AND_MEAN
  _WIN32_WINNT=0x0501)
target_compile_options(tolvarsdk PRIVATE -Os -Wall -Wextra -Werror -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
# No C run-time at all: the DLL imports system DLLs alone, on every
# architecture, and starts at its own entry point (src/runtime). Nothing of
# libgcc, libstdc++ or mingw's start-up code is linked; whatever else the
# compiler calls the library provides, or the link fails here.
target_link_options(tolvarsdk PRIVATE ${TOLVAR_DEF} ${TOLVAR_DEF_LINK_OPTIONS} -nostdlib
  -nostartfiles -Wl,--entry,${TOLVAR_DLL_ENTRY} -s -Wl,--gc-sections -Wl,--subsystem,windows)
target_link_libraries(tolvarsdk PRIVATE shell32 shlwapi advapi32 user32 kernel32)
# The library's own memcpy and memset must not become calls to themselves.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/runtime/memory.cpp PROPERTIES COMPILE_OPTIONS
  "-ffreestanding;-fno-builtin;$<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>")

# The import libraries for MinGW and MSVC callers, from the export list. Run
# from the output folder so that no build path ends up inside them.
# tolvarsdk.lib is written by llvm-dlltool in the form lib.exe writes (short
# import objects): binutils' dlltool writes long-form objects that carry no
# SafeSEH mark, and an x86 link.exe or lld-link with /SAFESEH refuses them
# (without /SAFESEH it drops the safe-handler table of the caller's whole
# image). GNU ld reads both forms.
find_program(TOLVAR_LLVM_DLLTOOL llvm-dlltool REQUIRED)
add_custom_command(TARGET tolvarsdk POST_BUILD
  COMMAND ${CMAKE_DLLTOOL} -m ${TOLVAR_DLLTOOL_MACHINE} ${TOLVAR_DLLTOOL_OPTIONS} -d ${TOLVAR_DEF}
          -D tolvarsdk.dll -l libtolvarsdk.dll.a
  COMMAND ${TOLVAR_LLVM_DLLTOOL} -m ${TOLVAR_DLLTOOL_MACHINE} ${TOLVAR_DLLTOOL_OPTIONS}
          -d ${TOLVAR_DEF} -D tolvarsdk.dll -l tolvarsdk.lib
  WORKING_DIRECTORY $<TARGET_FILE_DIR:tolvarsdk>
  BYPRODUCTS ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a ${TOLVAR_BIN_DIR}/tolvarsdk.lib
  VERBATIM)

# Programs that link the DLL the way a customer does: through the import
# library and the public header only.
add_library(tolvarsdk_import INTERFACE)
add_dependencies(tolvarsdk_import tolvarsdk)
target_include_directories(tolvarsdk_import INTERFACE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(tolvarsdk_import INTERFACE ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a)

# The product's shape, read from the files: exports at their ordinals,
# undecorated, imports only from Windows system DLLs and no C run-time, at
# most 16 KiB, its version resource, and import libraries with the symbols
# a caller of this architecture links against.
add_test(NAME ${TOLVAR_ARCH}.dll.shape COMMAND ${CMAKE_SOURCE_DIR}/tools/check-dll.sh
  ${TOLVAR_ARCH} ${TOLVAR_PE_MACHINE_NAME} ${TOLVAR_STDCALL_DECORATION}
  ${TOLVAR_BIN_DIR}/tolvarsdk.dll ${TOLVAR_DECORATED_DEF} ${TOLVAR_BIN_DIR} ${PROJECT_VERSION})

# An architecture whose Wine runs only in an emulated guest has its Wine
# layer (the Wine test programs and the benchmarks) only as
# TOLVAR_<ARCH>_WINE says (TOLVAR_ARM64_WINE: on by default, OFF leaves it
# out); the others always have theirs. Every build knows every
# architecture's (the host build passes each option to all): the SDK's
# consumer check of one runs others' too. TOLVAR_WINE_LAYERS lists them.
set(TOLVAR_WINE_LAYERS)
foreach(description ${TOLVAR_ARCH_DESCRIPTIONS})
  _tolvarsdk_read_arch(${description} row)
  set(wine_layer ON)
  if(row_WINE_RUNS STREQUAL guest)
    string(TOUPPER ${row_ARCH} name)
    option(TOLVAR_${name}_WINE "Run the ${row_ARCH} build's Wine tests in its ${row_GUEST_MACHINE} guest" ON)
    set(wine_layer ${TOLVAR_${name}_WINE})
  endif()
  if(wine_layer)
    list(APPEND TOLVAR_WINE_LAYERS ${row_ARCH})
  endif()
endforeach()

# The C run-time layer (where the description names one) comes first: the
# programs of every other folder link it (tolvar_console_program).
set(TOLVAR_SUBDIRS testing tolvarctl)
if(NOT TOLVAR_C_RUNTIME STREQUAL mingw-w64)
  list(PREPEND TOLVAR_SUBDIRS ${TOLVAR_C_RUNTIME})
endif()
if(TOLVAR_ARCH IN_LIST TOLVAR_WINE_LAYERS)
  include(cmake/WineTesting.cmake)
  list(APPEND TOLVAR_SUBDIRS tests/wine bench)
endif()
# tolvar_console_program(<target> <entry> [<system library>...]): links a
# console program on this architecture's C run-time: mingw-w64's, linked in
# (-static), so that no run-time DLL ships beside it, which also links
# kernel32 and the other common system libraries by default; or the layer
# on msvcrt.dll its description names, starting at <entry>
# (mainCRTStartup or wmainCRTStartup), which links none: the system
# libraries named follow it.
function(tolvar_console_program target entry)
  if(TOLVAR_C_RUNTIME STREQUAL mingw-w64)
    target_link_options(${target} PRIVATE -static)
  else()
    tolvar_msvcrt_program(${target} ${entry})
    target_link_libraries(${target} PRIVATE ${ARGN})
  endif()
endfunction()
foreach(dir ${TOLVAR_SUBDIRS})
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
# What the SDK ships from this build, without the test programs: what the
# reproducibility check builds.
add_custom_target(sdk_files)
add_dependencies(sdk_files tolvarsdk tolvarctl tolvarvx_sys)

# The SDK as a customer receives it: one tree for both architectures, each
# architecture's binaries in folders of its own (bin/x86, lib/x64, ...), the
# header and the CMake package shared. Installing this build writes its own
# folders and shared files whose content is the same from either build, so
# the two installs go into one tree in either order.
install(FILES ${TOLVAR_BIN_DIR}/tolvarsdk.dll DESTINATION ${TOLVARSDK_BIN_DIR})
install(FILES ${TOLVAR_BIN_DIR}/libtolvarsdk.dll.a ${TOLVAR_BIN_DIR}/tolvarsdk.lib ${TOLVAR_DEF}
  DESTINATION ${TOLVARSDK_LIB_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/tolvarsdk.h
  ${CMAKE_SOURCE_DIR}/include/tolvar_driver_contract.h DESTINATION include)
# At the root, what a customer reads first: the reference's start page,
# whose Markdown reads as plain text, and the license.
install(FILES ${CMAKE_SOURCE_DIR}/doc/mainpage.md DESTINATION . RENAME README.md)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
# The Go package, as source; its tests stay in the repository (they need
# the layout program of tests/wine/go and the stand-in's test interface).
install(FILES ${CMAKE_SOURCE_DIR}/go/go.mod ${CMAKE_SOURCE_DIR}/go/tolvarsdk.go
  ${CMAKE_SOURCE_DIR}/go/record.go ${CMAKE_SOURCE_DIR}/go/errors.go
  ${CMAKE_SOURCE_DIR}/go/library.go DESTINATION go)

install(FILES ${CMAKE_SOURCE_DIR}/samples/CMakeLists.txt ${CMAKE_SOURCE_DIR}/samples/drive_sample.c
  DESTINATION samples)

# The API reference, from the comments of the public header and the
# testing headers: Doxygen's HTML, one page per export, record and call,
# in the SDK's doc/. Any Doxygen warning (an undocumented export, parameter
# or field, a broken reference) fails the build.
find_program(TOLVAR_DOXYGEN doxygen REQUIRED)
set(TOLVAR_DOC_HEADERS ${CMAKE_SOURCE_DIR}/include/tolvarsdk.h
  ${CMAKE_SOURCE_DIR}/include/tolvar_driver_contract.h
  ${CMAKE_SOURCE_DIR}/testing/standin/include/tolvarvx_testing.h
  ${CMAKE_SOURCE_DIR}/testing/standin/include/tolvarvx_test.h
  ${CMAKE_SOURCE_DIR}/testing/standin/include/tolvarvx_details.h)
# The start page, then the chapters in the order the index lists them.
set(TOLVAR_DOC_PAGES mainpage linking tolvarctl testing kit-and-windows go)
list(TRANSFORM TOLVAR_DOC_PAGES REPLACE "(.+)" "${CMAKE_SOURCE_DIR}/doc/\\1.md")
list(JOIN TOLVAR_DOC_HEADERS " " TOLVAR_DOC_INPUT)
list(JOIN TOLVAR_DOC_PAGES " " pages)
string(APPEND TOLVAR_DOC_INPUT " ${pages}")
set(TOLVAR_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
configure_file(${CMAKE_SOURCE_DIR}/doc/Doxyfile.in ${TOLVAR_DOC_DIR}/Doxyfile @ONLY)
add_custom_command(OUTPUT ${TOLVAR_DOC_DIR}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TOLVAR_DOC_DIR}/html
  COMMAND ${TOLVAR_DOXYGEN} ${TOLVAR_DOC_DIR}/Doxyfile
  DEPENDS ${TOLVAR_DOC_HEADERS} ${TOLVAR_DOC_PAGES} ${CMAKE_SOURCE_DIR}/doc/Doxyfile.in
  WORKING_DIRECTORY ${TOLVAR_DOC_DIR}
  COMMENT "Writing the API reference with Doxygen" VERBATIM)
add_custom_target(tolvarsdk_doc ALL DEPENDS ${TOLVAR_DOC_DIR}/html/index.html)
add_dependencies(sdk_files tolvarsdk_doc)
install(DIRECTORY ${TOLVAR_DOC_DIR}/html/ DESTINATION doc)

# The SDK's CMake package, so that find_package(tolvarsdk) works on the
# installed tree (tolvarctl installs itself from tolvarctl/):
# tolvarsdkConfig.cmake, the same for every architecture, includes the
# tolvarsdk-<arch>.cmake of the architecture it recognises.
include(CMakePackageConfigHelpers)
set(package_dir ${CMAKE_BINARY_DIR}/package-config)
# The config recognises the consumer's architecture as this build does its
# own, by the same functions, from the descriptions of all architectures
# (the SDK's cmake/, where the test kit's scripts find them too).
file(READ ${CMAKE_CURRENT_LIST_DIR}/Architectures.cmake TOLVARSDK_ARCH_FUNCTIONS)
install(FILES ${TOLVAR_ARCH_DESCRIPTIONS} DESTINATION cmake)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/tolvarsdkConfig.cmake.in
  ${package_dir}/tolvarsdkConfig.cmake INSTALL_DESTINATION lib/cmake/tolvarsdk)
configure_file(${CMAKE_SOURCE_DIR}/cmake/tolvarsdk-arch.cmake.in
  ${package_dir}/tolvarsdk-${TOLVAR_ARCH}.cmake @ONLY)
# The version file does not compare pointer sizes: the config file chooses
# the architecture, and says what is installed when the one asked for is
# not. CMake writes the build's pointer size even into the check that
# ARCH_INDEPENDENT turns off; written without one, the file is the same
# from both builds.
function(tolvar_write_version_file file)
  unset(CMAKE_SIZEOF_VOID_P)
  write_basic_package_version_file(${file} VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
endfunction()
tolvar_write_version_file(${package_dir}/tolvarsdkConfigVersion.cmake)
install(FILES ${package_dir}/tolvarsdkConfig.cmake ${package_dir}/tolvarsdkConfigVersion.cmake
  ${package_dir}/tolvarsdk-${TOLVAR_ARCH}.cmake DESTINATION lib/cmake/tolvarsdk)

# A separate project builds against the SDK zip through
# find_package(tolvarsdk) with this same toolchain, and runs under Wine. The
# zip holds both architectures, so the host build that drives both Windows
# builds packs it and names it here.
set(TOLVAR_SDK_ZIP "" CACHE FILEPATH "The SDK zip of every architecture (packed by the host build)")
# A build whose programs link mingw-w64's C run-time checks the consumer of
# its architecture. The one whose Wine always runs here also builds the
# consumer of each architecture without that run-time (only its program
# linked the MSVC way, which needs none) and, where that architecture's Wine
# layer is built, runs its test in its guest through the SDK's helper.
if(TOLVAR_SDK_ZIP AND TOLVAR_C_RUNTIME STREQUAL mingw-w64 AND TOLVAR_ARCH IN_LIST TOLVAR_WINE_LAYERS)
  set(consumer_others)
  if(TOLVAR_WINE_RUNS STREQUAL host)
    foreach(description ${TOLVAR_ARCH_DESCRIPTIONS})
      _tolvarsdk_read_arch(${description} row)
      if(NOT row_C_RUNTIME STREQUAL mingw-w64 AND row_ARCH IN_LIST TOLVAR_WINE_LAYERS)
        list(APPEND consumer_others ${row_ARCH})
      endif()
    endforeach()
  endif()
  add_test(NAME ${TOLVAR_ARCH}.sdk.consumer COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/check.sh
    ${TOLVAR_ARCH} ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/consumer-check ${TOLVAR_SDK_ZIP}
    ${consumer_others})
  # The consumer's tests run in Wine sessions of their own (the SDK's
  # harness), apart from this build's session; a long test of its own, it
  # starts right after the sessions do.
  math(EXPR consumer_cost "${TOLVAR_WINE_SESSION_COST} - 100")
  set_tests_properties(${TOLVAR_ARCH}.sdk.consumer PROPERTIES TIMEOUT 900 COST ${consumer_cost})
endif()

# The SDK's sample, built from the unpacked zip with this toolchain and run
# by its own tests under the kit, as a customer first meets it. Where
# Debian has no C run-time for the architecture, its programs have the
# layer and the system import libraries of this build, which the sample
# links too.
if(TOLVAR_SDK_ZIP AND TOLVAR_ARCH IN_LIST TOLVAR_WINE_LAYERS)
  set(sample_runtime)
  if(NOT TOLVAR_C_RUNTIME STREQUAL mingw-w64)
    set(sample_runtime $<TARGET_FILE_DIR:msvcrt_program> ${TOLVAR_SYSTEM_IMPORTS_DIR})
  endif()
  add_test(NAME ${TOLVAR_ARCH}.sdk.sample COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/sample.sh
    ${TOLVAR_ARCH} ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_BINARY_DIR}/sample-check ${TOLVAR_SDK_ZIP}
    ${sample_runtime})
  math(EXPR sample_cost "${TOLVAR_WINE_SESSION_COST} - 100")
  set_tests_properties(${TOLVAR_ARCH}.sdk.sample PROPERTIES TIMEOUT 900 COST ${sample_cost})
endif()
