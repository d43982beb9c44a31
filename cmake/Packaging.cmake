# Install layout and the Debian packages (`make package`, or cpack in the build
# folder). Four packages, one CPack component each:
#
#   quillon              (app)   the desktop application, its desktop entry, icon
#                                and AppStream data
#   quillon-tools        (tools) the command-line programs and the shared data
#   libdlmsprotocol1     (lib)   the engine library
#   libdlmsprotocol-dev  (dev)   its C header, pkg-config file, CMake package and
#                                the examples
#   python3-quillon      (python) the quillon Python package, in Debian's python3
#                                path (lib/python3/dist-packages)
#
# The programs find their shared data in <program folder>/../share/quillon; the
# build tree has the same layout (build/bin, build/share/quillon).

set(QUILLON_PACKAGE_CONTACT "Quillon developers <quillon@example.org>")
set(QUILLON_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

set(QUILLON_DEB_app quillon)
set(QUILLON_DEB_tools quillon-tools)
set(QUILLON_DEB_lib libdlmsprotocol${DLMSPROTOCOL_SOVERSION})
set(QUILLON_DEB_dev libdlmsprotocol-dev)
set(QUILLON_DEB_python python3-quillon)

find_program(QUILLON_HELP2MAN help2man)
find_program(QUILLON_GZIP gzip REQUIRED)

# quillon_install_program(TARGET COMPONENT SUMMARY): the program to bin and its
# manual page to man1. The page is made at build time by help2man from the
# program's --help and --version, so it always matches the program.
function(quillon_install_program target component summary)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  if(NOT QUILLON_HELP2MAN)
    message(STATUS "help2man not found: no manual page for ${target}")
    return()
  endif()
  set(man ${CMAKE_BINARY_DIR}/man/${target}.1)
  add_custom_command(OUTPUT ${man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
      ${QUILLON_HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary} --output=${man}
      $<TARGET_FILE:${target}>
    COMMAND ${QUILLON_GZIP} -9nf ${man}
    DEPENDS ${target}
    COMMENT "Manual page of ${target}" VERBATIM)
  add_custom_target(${target}-manpage ALL DEPENDS ${man}.gz)
  install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# --- programs -------------------------------------------------------------------
if(TARGET quillon)
  quillon_install_program(quillon app "DLMS/COSEM meter client")
  install(FILES ${QUILLON_PACKAGING_DIR}/quillon.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
  install(FILES ${QUILLON_PACKAGING_DIR}/quillon.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)
  install(FILES ${QUILLON_PACKAGING_DIR}/quillon.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME org.quillon.Quillon.metainfo.xml COMPONENT app)
  # F1's help text, and the whole README (with its pictures) it links to.
  install(FILES ${QUILLON_SHARED_DATA_DIR}/help.md DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon COMPONENT app)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QUILLON_DEB_app} COMPONENT app)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/screenshot.png ${PROJECT_SOURCE_DIR}/docs/profile.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QUILLON_DEB_app}/docs COMPONENT app)
endif()

# The command-line programs of quillon-tools, with the one-line summary of their
# manual pages. A program not built in this tree is left out.
set(QUILLON_TOOL_PROGRAMS
  "quillon-cli|DLMS/COSEM meter client for the command line"
  "quillon-translate|convert DLMS/COSEM APDUs between hex and DLMS XML"
  "quillon-meter-sim|simulated DLMS/COSEM electricity meter")
foreach(entry IN LISTS QUILLON_TOOL_PROGRAMS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 tool)
  list(GET entry 1 summary)
  if(TARGET ${tool})
    quillon_install_program(${tool} tools "${summary}")
  endif()
endforeach()

# Shared data: the OBIS description database and the simulator's meter model.
install(FILES ${QUILLON_SHARED_DATA_DIR}/obis.db ${QUILLON_SHARED_DATA_DIR}/meter.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon COMPONENT tools)

# --- the engine library ---------------------------------------------------------
install(TARGETS DLMSProtocol EXPORT DLMSProtocolTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/engine/DLMSProtocol.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillon COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/security/DLMSRecords.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillon/security COMPONENT dev)
install(EXPORT DLMSProtocolTargets NAMESPACE DLMSProtocol::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DLMSProtocol COMPONENT dev)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/DLMSProtocolConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${QUILLON_PACKAGING_DIR}/DLMSProtocolConfig.cmake.in
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DLMSProtocol RENAME DLMSProtocolConfig.cmake COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/cmake/DLMSProtocolConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DLMSProtocol COMPONENT dev)
# The prefix is known only when installing (a package installs to /usr).
set(pc ${CMAKE_BINARY_DIR}/pkgconfig/dlmsprotocol.pc)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${QUILLON_PACKAGING_DIR}/dlmsprotocol.pc.in\" \"${pc}\" @ONLY)
" COMPONENT dev)
install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/c/read_register.c ${PROJECT_SOURCE_DIR}/examples/python/read_register.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QUILLON_DEB_dev}/examples COMPONENT dev)

# --- Debian packages ------------------------------------------------------------
set(QUILLON_COMPONENTS tools lib dev)
if(TARGET quillon)
  list(PREPEND QUILLON_COMPONENTS app)
endif()
if(TARGET quillon_python)
  list(APPEND QUILLON_COMPONENTS python)
endif()
# Every package carries the copyright file and a changelog in its doc folder.
foreach(component IN LISTS QUILLON_COMPONENTS)
  set(package ${QUILLON_DEB_${component}})
  set(PACKAGE ${package})
  set(VERSION ${PROJECT_VERSION})
  set(changelog ${CMAKE_BINARY_DIR}/debian/${package}/changelog)
  configure_file(${QUILLON_PACKAGING_DIR}/changelog.in ${changelog} @ONLY)
  execute_process(COMMAND ${QUILLON_GZIP} -9nf ${changelog})
  install(FILES ${QUILLON_PACKAGING_DIR}/copyright ${changelog}.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR "Quillon developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUILLON_PACKAGE_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QUILLON_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillon.example.org/")
foreach(component IN LISTS QUILLON_COMPONENTS)
  string(TOUPPER ${component} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${QUILLON_DEB_${component}})
endforeach()
set(CPACK_DEBIAN_APP_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The extension is built for this interpreter's version (its file name says so).
if(TARGET quillon_python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${QUILLON_PYTHON_VERSION}~), python3 (<< ${QUILLON_PYTHON_VERSION}.99~)")
endif()
# The shlibs file tells programs built against the library which package to
# depend on; the trigger runs ldconfig once after the package is unpacked.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${QUILLON_PACKAGING_DIR}/triggers)
set(CPACK_COMPONENT_APP_DEPENDS lib)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_PYTHON_DEPENDS lib)
set(CPACK_COMPONENT_APP_DESCRIPTION "DLMS/COSEM meter client
Quillon reads and writes electricity, gas, water and heat meters that speak
DLMS/COSEM (IEC 62056), over TCP with the DLMS wrapper or over a serial line
with HDLC. It shows the association's object list with OBIS codes and
descriptions, and every exchange in the DLMS XML representation.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "DLMS/COSEM meter client - command-line programs
The command-line programs of Quillon: a converter of APDU captures between hex
and DLMS XML and a simulated DLMS/COSEM meter for trying clients without
hardware, with the OBIS description database and the simulator's meter model.")
set(CPACK_COMPONENT_LIB_DESCRIPTION "DLMS/COSEM client engine library
libDLMSProtocol establishes DLMS/COSEM application associations with every
authentication mechanism, plain or ciphered, and reads, writes and invokes
COSEM objects through a flat C interface; the caller supplies the transport.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "DLMS/COSEM client engine library - development files
The C header of libDLMSProtocol, its pkg-config file and CMake package, and
examples in C and Python.")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "DLMS/COSEM meter client - Python package
The quillon package reads and writes DLMS/COSEM meters from Python: meters,
sessions with typed values, units and dates, profiles as tables (with pandas
when it is installed), writes, methods and fleets, on Quillon's session
library.")
include(CPack)
