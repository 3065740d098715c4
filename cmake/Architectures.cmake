# The architectures' descriptions (cmake/<arch>.arch, one fact a line, as
# key=value), read by the build and, copied into it, by the SDK's CMake
# package, which has the same files in the SDK's cmake/ folder.

# _tolvarsdk_read_arch(<file> <prefix>): sets <prefix>_<KEY> to each key's
# value (the key upper-cased; a list's items become a CMake list).
function(_tolvarsdk_read_arch file prefix)
  file(STRINGS "${file}" lines REGEX "^[a-z0-9_]+=")
  foreach(line IN LISTS lines)
    string(FIND "${line}" "=" equals)
    string(SUBSTRING "${line}" 0 ${equals} key)
    math(EXPR equals "${equals} + 1")
    string(SUBSTRING "${line}" ${equals} -1 value)
    string(TOUPPER "${key}" key)
    string(REPLACE " " ";" value "${value}")
    set(${prefix}_${key} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()

# _tolvarsdk_recognise_arch(<folder> <variable>): sets <variable> to the
# architecture that the project's toolchain builds for, among the
# descriptions in <folder>: the one of the project's pointer size whose
# processors name CMAKE_SYSTEM_PROCESSOR or the compiler's architecture,
# else the default for that pointer size. A project without a compiler
# (LANGUAGES NONE: one that only runs programs under the test kit) has the
# toolchain's processor alone. Empty where none fits.
function(_tolvarsdk_recognise_arch folder variable)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR};${CMAKE_C_COMPILER_ARCHITECTURE_ID};${CMAKE_CXX_COMPILER_ARCHITECTURE_ID}"
    names)
  list(REMOVE_ITEM names "")
  file(GLOB descriptions "${folder}/*.arch")
  set(named "")
  set(by_pointer_size "")
  foreach(description IN LISTS descriptions)
    _tolvarsdk_read_arch("${description}" row)
    if(CMAKE_SIZEOF_VOID_P AND NOT CMAKE_SIZEOF_VOID_P EQUAL row_POINTER_SIZE)
      continue()
    endif()
    foreach(name IN LISTS names)
      # list(FIND), not IN_LIST: the consumer's policies may predate it.
      list(FIND row_PROCESSORS "${name}" found)
      if(found GREATER -1 AND NOT named)
        set(named ${row_ARCH})
      endif()
    endforeach()
    if(CMAKE_SIZEOF_VOID_P AND row_DEFAULT_FOR_POINTER_SIZE)
      set(by_pointer_size ${row_ARCH})
    endif()
  endforeach()
  if(named)
    set(${variable} ${named} PARENT_SCOPE)
  else()
    set(${variable} "${by_pointer_size}" PARENT_SCOPE)
  endif()
endfunction()
