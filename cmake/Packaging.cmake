# Install rules and packages. What is installed: the shared library (libKestalHostComm.so.2 with
# its version, or KestalHostComm.dll with its import library), the headers under include/kestal/
# (the class's, the C interface's and the header-only C++ wrapper kestal.hpp), the package files
# for find_package and pkg-config, the tools, the examples (programs and sources), the Wireshark
# dissector and the README. The static core the tools and tests link stays in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT WIN32)
  set_target_properties(KestalHostComm PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
install(TARGETS KestalHostComm EXPORT KestalHostCommTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)  # the kit of cmake/WindowsKit.cmake
  install(FILES ${KESTAL_KIT_DIR}/KestalHostComm.def ${KESTAL_KIT_DIR}/KestalHostComm.lib
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${KESTAL_KIT_DIR}/KestalHostComm.dll.debug DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES include/kestal/KestalHostCommService.h include/kestal/kestal_c.h include/kestal/kestal_protocol.h
  include/kestal/kestal.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestal)

set(KESTAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestalHostComm)
install(EXPORT KestalHostCommTargets NAMESPACE KestalHostComm:: DESTINATION ${KESTAL_CMAKE_DIR})
configure_package_config_file(cmake/KestalHostCommConfig.cmake.in
  ${CMAKE_BINARY_DIR}/KestalHostCommConfig.cmake INSTALL_DESTINATION ${KESTAL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KestalHostCommConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/KestalHostCommConfig.cmake ${CMAKE_BINARY_DIR}/KestalHostCommConfigVersion.cmake
  DESTINATION ${KESTAL_CMAKE_DIR})
# pkg-config's file finds the prefix from where it lies, so any install prefix works.
file(RELATIVE_PATH KESTAL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KESTAL_PC_TO_PREFIX "${KESTAL_PC_TO_PREFIX}")
configure_file(cmake/kestalhostcomm.pc.in ${CMAKE_BINARY_DIR}/kestalhostcomm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kestalhostcomm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(KESTAL_PROGRAMS kestal kestal-devsim kestal-sample kestal-grab-frames-c kestal-grab-frames-cpp)
set(KESTAL_NATIVE_PROGRAMS "")  # the file names the Windows install strips
foreach(program ${KESTAL_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND KESTAL_NATIVE_PROGRAMS $<TARGET_FILE_NAME:${program}>)
  endif()
endforeach()
install(FILES examples/sample.c examples/grab_frames.c examples/grab_frames.cpp DESTINATION ${CMAKE_INSTALL_DATADIR}/kestalhostcomm/examples)
install(FILES tools/wireshark/kestal.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/kestalhostcomm/wireshark)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Python module: where Debian's python3 finds it (for the /usr prefix), with a link to the
# installed library beside it, so that it loads that library as it loads the one its wheel carries.
set(KESTAL_PYTHON_DIR lib/python3/dist-packages CACHE STRING "The Python module's folder, relative to the prefix")
file(STRINGS python/pyproject.toml KESTAL_WHEEL_VERSION REGEX "^version = ")
if(NOT KESTAL_WHEEL_VERSION STREQUAL "version = \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "python/pyproject.toml says ${KESTAL_WHEEL_VERSION}, the project is ${PROJECT_VERSION}")
endif()
if(NOT WIN32)
  install(DIRECTORY python/kestal DESTINATION ${KESTAL_PYTHON_DIR} FILES_MATCHING PATTERN "*.py"
    PATTERN __pycache__ EXCLUDE)
  file(RELATIVE_PATH module_to_lib /prefix/${KESTAL_PYTHON_DIR}/kestal /prefix/${CMAKE_INSTALL_LIBDIR})
  install(CODE "file(CREATE_LINK ${module_to_lib}/libKestalHostComm.so.${PROJECT_VERSION_MAJOR}
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KESTAL_PYTHON_DIR}/kestal/libKestalHostComm.so\" SYMBOLIC)")

  # The wheel (python -m build, offline with Debian's python3-build): the module and this build's
  # library, stripped, inside the package; build/wheel/kestal-VERSION-py3-none-linux_x86_64.whl.
  find_program(KESTAL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(KESTAL_PYTHON NAMES python3)
  set(wheel_dir ${CMAKE_BINARY_DIR}/wheel)
  add_custom_target(python-wheel
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${wheel_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/python/kestal ${wheel_dir}/src/kestal
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/python/pyproject.toml ${CMAKE_SOURCE_DIR}/python/setup.py
      ${wheel_dir}/src
    COMMAND ${CMAKE_STRIP} -o ${wheel_dir}/src/kestal/libKestalHostComm.so $<TARGET_FILE:KestalHostComm>
    COMMAND ${KESTAL_PYTHON} -m build --no-isolation --wheel --outdir ${wheel_dir} ${wheel_dir}/src
    DEPENDS KestalHostComm
    COMMENT "The Python wheel in ${wheel_dir}"
    VERBATIM)
endif()

# cpack -G DEB (Linux) or cpack -G ZIP (the Windows build): the package's runtime dependencies
# are read from the binaries by dpkg-shlibdeps, not written here.
set(CPACK_PACKAGE_NAME kestalhostcomm)
set(CPACK_PACKAGE_VENDOR "KestalHostComm developers")
set(CPACK_PACKAGE_CONTACT "KestalHostComm developers <kestalhostcomm@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host-side link to the scan head's controller, with its simulator and tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NOT WIN32)  # the Windows kit strips the DLL itself and keeps its debug file
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME KestalHostComm-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)

# Last of the install: the native Windows programs and the DLL lose their debug information (the
# DLL's stays in KestalHostComm.dll.debug, which the stripped DLL names). The .NET assemblies are
# not native code and stay as they are.
if(WIN32)
  install(CODE "
    set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    foreach(name ${KESTAL_NATIVE_PROGRAMS} KestalHostComm.dll)
      set(file \"\${bin}/\${name}\")
      set(link \"\")
      if(name STREQUAL KestalHostComm.dll)
        set(link \"--add-gnu-debuglink=${KESTAL_KIT_DIR}/KestalHostComm.dll.debug\")
      endif()
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-all \${link} \"\${file}\" RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"could not strip \${file}\")
      endif()
    endforeach()")
endif()
