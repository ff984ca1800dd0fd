# What the Windows kit ships beside KestalHostComm.dll (the cross build only):
# - a version resource in the DLL (file and product version, product name, description);
# - KestalHostComm.def, the C functions the DLL exports, read from its export table, and
#   KestalHostComm.lib made from it, the import library of the Visual C++ linker (the MinGW
#   import library KestalHostComm.dll.a stays for MinGW users and the service class);
# - the DLL stripped, its debug information in KestalHostComm.dll.debug beside it, found by the
#   debug link the stripped DLL carries.
# The build tree keeps the DLL whole: the tests run it, and their stacks name its functions.
enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/src/service/KestalHostComm.rc.in
  ${CMAKE_BINARY_DIR}/KestalHostComm.rc @ONLY)
target_sources(KestalHostComm PRIVATE ${CMAKE_BINARY_DIR}/KestalHostComm.rc)

find_program(KESTAL_DLLTOOL NAMES llvm-dlltool ${KESTAL_MINGW_TRIPLE}-dlltool REQUIRED)
set(KESTAL_KIT_DIR ${CMAKE_BINARY_DIR}/kit)
file(MAKE_DIRECTORY ${KESTAL_KIT_DIR})
add_custom_command(TARGET KestalHostComm POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:KestalHostComm> -DOBJDUMP=${CMAKE_OBJDUMP}
    -DDEF=${KESTAL_KIT_DIR}/KestalHostComm.def -P ${CMAKE_CURRENT_LIST_DIR}/WriteDef.cmake
  COMMAND ${KESTAL_DLLTOOL} -m i386:x86-64 -D KestalHostComm.dll -d KestalHostComm.def
    -l KestalHostComm.lib
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:KestalHostComm> KestalHostComm.dll.debug
  WORKING_DIRECTORY ${KESTAL_KIT_DIR}
  COMMENT "KestalHostComm.def, KestalHostComm.lib and KestalHostComm.dll.debug"
  VERBATIM)
