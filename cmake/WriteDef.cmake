# cmake -DDLL=... -DOBJDUMP=... -DDEF=... -P WriteDef.cmake: writes the module-definition file of
# the DLL's C interface from the DLL's own export table, so that it can never list a function the
# DLL lacks or miss one it has. The service class's C++ names are left out: they are MinGW's
# mangling, which the Visual C++ linker does not speak.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} could not read ${DLL}")
endif()
# The name table's rows are "[ordinal] name"; brackets would keep CMake from splitting the list.
string(REGEX REPLACE "[][]" " " table "${table}")
string(REGEX MATCHALL "[ \t]kestal_[a-z0-9_]+" names "${table}")
list(TRANSFORM names STRIP)
list(SORT names)
list(REMOVE_DUPLICATES names)
list(LENGTH names count)
if(count EQUAL 0)
  message(FATAL_ERROR "${DLL} exports no kestal_ function")
endif()
list(JOIN names "\n" lines)
file(WRITE ${DEF}.new "LIBRARY KestalHostComm.dll\nEXPORTS\n${lines}\n")
file(COPY_FILE ${DEF}.new ${DEF} ONLY_IF_DIFFERENT)
file(REMOVE ${DEF}.new)
