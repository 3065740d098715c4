# The host build: the library's sources against our Win32 stand-in, for
# unit tests, sanitizers and fuzzing; and the Windows build driven from here.
option(TOLVAR_SANITIZE "Build the host library and tests with ASan and UBSan" OFF)
option(TOLVAR_WINDOWS "Cross-build the Windows product and its Wine tests" ON)
# The test command builds and runs the host unit tests once, in the
# sanitized build, and leaves them out of its main build.
option(TOLVAR_HOST_TESTS "Build the host library and its unit tests" ON)
set(TOLVAR_WINDOWS_TARGET all CACHE STRING
  "What each Windows build builds: all, or sdk_files for the SDK's files alone")

find_package(GTest REQUIRED)
include(GoogleTest)

if(TOLVAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

# The fuzz targets are built on the same library and Win32 stand-in.
if(TOLVAR_HOST_TESTS OR TOLVAR_FUZZ)
  add_subdirectory(tests/hostwin32)

  file(GLOB TOLVARSDK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)
  # The DLL's entry point and compiler helpers are the host C library's here.
  list(FILTER TOLVARSDK_SOURCES EXCLUDE REGEX "/src/runtime/")
  add_library(tolvarsdk_host STATIC ${TOLVARSDK_SOURCES})
  target_include_directories(tolvarsdk_host PUBLIC ${CMAKE_SOURCE_DIR}/include
    PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(tolvarsdk_host PRIVATE -fno-exceptions -fno-rtti -Werror)
  target_link_libraries(tolvarsdk_host PUBLIC hostwin32)
endif()

set(host_dirs testing tests/fuzz)
if(TOLVAR_HOST_TESTS)
  list(PREPEND host_dirs tests/host)
endif()
foreach(dir ${host_dirs})
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

if(TOLVAR_WINDOWS)
  # One Windows build per architecture described in cmake/ (<arch>.arch),
  # each with its own toolchain, build folder (windows/x86, windows/x64,
  # windows/arm64) and Wine prefix.
  include(ExternalProject)
  include(${CMAKE_CURRENT_LIST_DIR}/Architectures.cmake)
  set(TOLVARSDK_PACKAGE_NAME tolvarsdk-${PROJECT_VERSION}-windows)
  set(TOLVARSDK_ZIP ${CMAKE_BINARY_DIR}/package/${TOLVARSDK_PACKAGE_NAME}.zip)
  set(stage ${CMAKE_BINARY_DIR}/sdk-stage)
  file(GLOB arch_descriptions CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/*.arch)
  # An architecture whose Wine runs only in an emulated guest has its Wine
  # layer as TOLVAR_<ARCH>_WINE says; every build gets every such option.
  set(wine_layer_options)
  foreach(description ${arch_descriptions})
    _tolvarsdk_read_arch(${description} row)
    if(row_WINE_RUNS STREQUAL guest)
      string(TOUPPER ${row_ARCH} name)
      option(TOLVAR_${name}_WINE "Run the ${row_ARCH} build's Wine tests in its ${row_GUEST_MACHINE} guest" ON)
      list(APPEND wine_layer_options -DTOLVAR_${name}_WINE=${TOLVAR_${name}_WINE})
    endif()
  endforeach()
  set(windows_tests "")
  set(windows_builds "")
  set(windows_installs "")
  foreach(description ${arch_descriptions})
    _tolvarsdk_read_arch(${description} row)
    set(arch ${row_ARCH})
    set(binary_dir ${CMAKE_BINARY_DIR}/windows/${arch})
    # The guest that runs its Wine where the host cannot (the 32-bit one,
    # the aarch64 one) keeps its state apart, each in a folder of its own.
    set(guest_option)
    if(row_GUEST_FOLDER)
      set(guest_option -DTOLVAR_GUEST_DIR=${CMAKE_BINARY_DIR}/${row_GUEST_FOLDER})
    endif()
    ExternalProject_Add(windows_${arch}
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      BINARY_DIR ${binary_dir}
      CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${row_TOOLCHAIN}
                 -DCMAKE_BUILD_TYPE=Release
                 -DCMAKE_INSTALL_PREFIX=${CMAKE_BINARY_DIR}/sdk
                 -DTOLVAR_SDK_ZIP=${TOLVARSDK_ZIP}
                 ${guest_option}
                 ${wine_layer_options}
      BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target ${TOLVAR_WINDOWS_TARGET}
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      USES_TERMINAL_BUILD ON)
    list(APPEND windows_builds windows_${arch})
    # ctest in the host build also runs each Windows build's tests under Wine.
    string(APPEND windows_tests
      "if(EXISTS \"${binary_dir}/CTestTestfile.cmake\")\n"
      "  subdirs(\"${binary_dir}\")\n"
      "endif()\n")
    # `cmake --install <host build> --prefix <dir>` lays out the SDK with all.
    install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" --install \"${binary_dir}\"
      --prefix \"\${CMAKE_INSTALL_PREFIX}\" COMMAND_ERROR_IS_FATAL ANY)")
    # So does the SDK's staging folder, for the zip.
    list(APPEND windows_installs COMMAND ${CMAKE_COMMAND} --install ${binary_dir}
      --prefix ${stage}/${TOLVARSDK_PACKAGE_NAME})
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/WindowsTests.cmake "${windows_tests}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
    ${CMAKE_BINARY_DIR}/WindowsTests.cmake)

  # The SDK as a zip of every architecture, packed after every build: the
  # builds installed into one staging folder, which is then zipped with its
  # top folder, in a fixed order with the commit's time (pack-sdk.cmake).
  # Each Windows build's consumer test unpacks it.
  add_custom_target(sdk_package ALL
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    ${windows_installs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
    COMMAND ${CMAKE_COMMAND} -DSTAGE=${stage} -DNAME=${TOLVARSDK_PACKAGE_NAME}
            -DZIP=${TOLVARSDK_ZIP} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -P ${CMAKE_SOURCE_DIR}/cmake/pack-sdk.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    BYPRODUCTS ${TOLVARSDK_ZIP}
    COMMENT "Packing the SDK into ${TOLVARSDK_PACKAGE_NAME}.zip"
    VERBATIM)
  add_dependencies(sdk_package ${windows_builds})
  # The failure paths of the guest that runs 32-bit Wine where the host
  # cannot (no report, a time limit, a host that goes away, the image
  # cache), checked without booting it.
  # The Go package's static checks for windows/386, amd64 and arm64; its
  # tests run in each Windows build under Wine (x86.wine.go, x64.wine.go).
  add_test(NAME go.check COMMAND ${CMAKE_SOURCE_DIR}/tools/go-check.sh)
  set_tests_properties(go.check PROPERTIES TIMEOUT 300)
  add_test(NAME guest.faults COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/guest/faults_test.py)
  set_tests_properties(guest.faults PROPERTIES TIMEOUT 180)
endif()
