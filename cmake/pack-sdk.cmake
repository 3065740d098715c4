# Packs a laid-out SDK into a zip that is the same for the same commit:
#   cmake -DSTAGE=<folder holding NAME/> -DNAME=<top folder> -DZIP=<zip>
#         -DSOURCE_DIR=<source tree> -P pack-sdk.cmake
# The files go in sorted by path, and every entry carries one time: the
# environment's SOURCE_DATE_EPOCH, else the commit time of SOURCE_DIR's
# HEAD, else 1980-01-01 (the first time a zip can hold) for a tree outside
# git. Permission bits come from the
# install, which sets them.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315532800)
  endif()
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${STAGE}" "${STAGE}/${NAME}/*")
list(SORT files)
list(JOIN files "\n" listing)
file(WRITE "${ZIP}.files" "${listing}\n")
file(REMOVE "${ZIP}.tmp")
# Info-ZIP's zip, because CMake's archiver writes each file's access and
# change times from the disk into the entry. -X leaves out those and the
# owner's ids, -D the folder entries; the entries' DOS times are local
# times, hence TZ.
execute_process(COMMAND touch -d "@${epoch}" ${files}
  WORKING_DIRECTORY "${STAGE}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC zip -q -X -D "${ZIP}.tmp" -@
  INPUT_FILE "${ZIP}.files" WORKING_DIRECTORY "${STAGE}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${ZIP}.files")
file(RENAME "${ZIP}.tmp" "${ZIP}")
