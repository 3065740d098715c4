# An x64 export list derived from an x86 one: the same names at the same
# ordinals, without the stdcall decorations (x64 has a single calling
# convention, and its names carry none). So each list is written once.
#   cmake -DINPUT=<decorated .def> -DOUTPUT=<x64 .def> -P undecorate-def.cmake
# The input's leading comment speaks of decorations; it is replaced.
file(READ "${INPUT}" text)
string(REGEX REPLACE "^(;[^\n]*\n)+" "" text "${text}")
# "TolvarFlush@4 @5" -> "TolvarFlush @5", "BCryptGenRandom@16" -> "BCryptGenRandom"
string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+([ \t\r\n]|$)" "\\1\\2" text "${text}")
get_filename_component(name "${INPUT}" NAME)
string(PREPEND text "; Derived at build time from the x86 ${name}: the same names at the same\n"
                    "; ordinals, without stdcall decorations.\n")
# Rewritten only when it changes, so that nothing is relinked for nothing.
file(WRITE "${OUTPUT}.tmp" "${text}")
configure_file("${OUTPUT}.tmp" "${OUTPUT}" COPYONLY)
file(REMOVE "${OUTPUT}.tmp")
