# The host build: the library's sources against our Win32 stand-in, for
# unit tests, sanitizers and fuzzing; and the Windows build driven from here.
option(TOLVAR_SANITIZE "Build the host library and tests with ASan and UBSan" OFF)
option(TOLVAR_WINDOWS "Cross-build the Windows product and its Wine tests" ON)

find_package(GTest REQUIRED)
include(GoogleTest)

if(TOLVAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

add_subdirectory(hostwin32)

file(GLOB TOLVARSDK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)
add_library(tolvarsdk_host STATIC ${TOLVARSDK_SOURCES})
target_include_directories(tolvarsdk_host PUBLIC ${CMAKE_SOURCE_DIR}/include
  PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_options(tolvarsdk_host PRIVATE -fno-exceptions -fno-rtti -Werror)
target_link_libraries(tolvarsdk_host PUBLIC hostwin32)

foreach(dir tests/host driver tests/fuzz)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

if(TOLVAR_WINDOWS)
  include(ExternalProject)
  set(TOLVAR_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
  ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${TOLVAR_WINDOWS_BINARY_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
               -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_INSTALL_PREFIX=${CMAKE_BINARY_DIR}/sdk
               -DTOLVAR_GUEST_DIR=${CMAKE_BINARY_DIR}/guest
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  # ctest in the host build also runs the Windows build's tests under Wine.
  file(WRITE ${CMAKE_BINARY_DIR}/WindowsTests.cmake
    "if(EXISTS \"${TOLVAR_WINDOWS_BINARY_DIR}/CTestTestfile.cmake\")\n"
    "  subdirs(\"${TOLVAR_WINDOWS_BINARY_DIR}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
    ${CMAKE_BINARY_DIR}/WindowsTests.cmake)
  # The failure paths of the guest that runs 32-bit Wine where the host
  # cannot (no report, a time limit, a host that goes away, the image
  # cache), checked without booting it.
  add_test(NAME guest.faults COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/guest/faults_test.py)
  set_tests_properties(guest.faults PROPERTIES TIMEOUT 180)
endif()
