# SPDX-License-Identifier: MIT
# Installation: where every file goes on a Linux system, the pkg-config and
# CMake package files applications build against, and the Debian packages
# (CPack, one package per install component). Included last from the
# top-level CMakeLists.txt, once every target exists.
#
#   component  Debian package       contents
#   runtime    libpci-5c3a0         libpci_5C3A.so.0.4.0, its SONAME link, and the
#                                   unversioned link that older applications need
#   dev        libpci-5c3a-dev      header, pkg-config and CMake files, API man
#                                   pages, examples
#   tools      pci-5c3a-tools       test5C3A, pci5c3a-gateway, their man pages,
#                                   the gateway's systemd unit template
#   vcard      libpci-5c3a-vcard    the virtual card's preload library
#   vcard_tools  pci-5c3a-vcard       with-virtual-card and the virtual card's man pages
#   python     python3-pci5c3a      the python-can interface (rules in python/CMakeLists.txt)
#   dkms       pci5c3a-dkms         the kernel driver's source for DKMS, its udev rule,
#                                   a modprobe.d example, the pci5c3a(4) man page and
#                                   pci5c3a-find-layout with its man page
#
# The library directory is GNUInstallDirs' CMAKE_INSTALL_LIBDIR: with the
# prefix /usr on Debian it is the multiarch directory (lib/x86_64-linux-gnu,
# lib/i386-linux-gnu), so the amd64 and i386 packages install side by side.

include(CMakePackageConfigHelpers)

# GNUInstallDirs picks the multiarch library directory for the prefix /usr on
# Debian, but not when cross-compiling, which the i386 preset's toolchain
# file (-m32) counts as: choose it the same way here.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" AND CMAKE_INSTALL_LIBDIR STREQUAL "lib")
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  set(CMAKE_INSTALL_FULL_LIBDIR "/usr/${CMAKE_INSTALL_LIBDIR}")
endif()

set(PCI5C3A_DEB_RUNTIME "libpci-5c3a${PROJECT_VERSION_MAJOR}")
set(PCI5C3A_DEB_DEV "libpci-5c3a-dev")
set(PCI5C3A_DEB_TOOLS "pci-5c3a-tools")
set(PCI5C3A_DEB_VCARD_LIB "libpci-5c3a-vcard")
set(PCI5C3A_DEB_VCARD "pci-5c3a-vcard")
set(PCI5C3A_DEB_PYTHON "python3-pci5c3a")
set(PCI5C3A_DEB_DKMS "pci5c3a-dkms")

# Debian keeps each package's documentation in share/doc/<package>; a source
# install into another prefix keeps it together in share/doc/pci_5C3A.
if(NOT DEFINED PCI5C3A_DEBIAN_LAYOUT)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(PCI5C3A_DEBIAN_LAYOUT ON)
  else()
    set(PCI5C3A_DEBIAN_LAYOUT OFF)
  endif()
endif()

function(pci5c3a_docdir out package)
  if(PCI5C3A_DEBIAN_LAYOUT)
    set(${out} "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_DOCDIR}" PARENT_SCOPE)
  endif()
endfunction()

set(PCI5C3A_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/pci_5C3A")
set(PCI5C3A_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
# The preload library is no library to link against: it lives in a private
# directory, like other preload helpers, and carries no SONAME.
set(PCI5C3A_VCARD_LIBDIR "${CMAKE_INSTALL_LIBDIR}/pci_5C3A")
pci5c3a_docdir(PCI5C3A_EXAMPLES_DIR ${PCI5C3A_DEB_DEV})
string(APPEND PCI5C3A_EXAMPLES_DIR "/examples")

find_program(PCI5C3A_GZIP gzip REQUIRED)
mark_as_advanced(PCI5C3A_GZIP)

# gzip -n: no name or time stamp in the header, so that the same text gives
# the same bytes on every build; files shared by the amd64 and i386 packages
# must be identical for the two to be installed together.
function(pci5c3a_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${PCI5C3A_GZIP} ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

# ---------------------------------------------------------------------------
# The library: runtime and development files

# The header as a full path: the rule below is read from this directory.
set_property(TARGET pci_5C3A PROPERTY PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/lib/pci_5C3A.h)
install(TARGETS pci_5C3A EXPORT pci_5C3ATargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    # Existing applications may carry NEEDED "libpci_5C3A.so": the
    # unversioned name ships with the runtime package so that they load.
    NAMELINK_COMPONENT runtime
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev)

install(EXPORT pci_5C3ATargets
  NAMESPACE pci_5C3A::
  DESTINATION ${PCI5C3A_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/packaging/pci_5C3AConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/pci_5C3AConfig.cmake
  INSTALL_DESTINATION ${PCI5C3A_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/packaging/pci_5C3AConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/packaging/pci_5C3AConfig.cmake
    ${PROJECT_BINARY_DIR}/packaging/pci_5C3AConfigVersion.cmake
  DESTINATION ${PCI5C3A_CMAKE_DIR}
  COMPONENT dev)

# pkg-config: every path relative to the .pc file's own directory, so the
# installed tree can be moved (a staging root, an unpacked package).
function(pci5c3a_relative out from to)
  if(IS_ABSOLUTE "${to}")
    set(${out} "${to}" PARENT_SCOPE)
  else()
    file(RELATIVE_PATH rel "/${from}" "/${to}")
    string(REGEX REPLACE "/$" "" rel "${rel}")
    if(rel STREQUAL "")
      set(rel ".")
    endif()
    set(${out} "\${pcfiledir}/${rel}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${PCI5C3A_PKGCONFIG_DIR}")
  set(PCI5C3A_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  pci5c3a_relative(PCI5C3A_PC_PREFIX "${PCI5C3A_PKGCONFIG_DIR}" "")
endif()
pci5c3a_relative(PCI5C3A_PC_LIBDIR "${PCI5C3A_PKGCONFIG_DIR}" "${CMAKE_INSTALL_LIBDIR}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(PCI5C3A_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(PCI5C3A_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/pci_5C3A.pc.in
  ${PROJECT_BINARY_DIR}/packaging/pci_5C3A.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/pci_5C3A.pc
  DESTINATION ${PCI5C3A_PKGCONFIG_DIR}
  COMPONENT dev)

install(FILES
    ${PROJECT_SOURCE_DIR}/examples/README.md
    ${PROJECT_SOURCE_DIR}/examples/Makefile
    ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
    ${PROJECT_SOURCE_DIR}/examples/open_send_receive.c
    ${PROJECT_SOURCE_DIR}/examples/receive_signal.c
    ${PROJECT_SOURCE_DIR}/examples/detect_bitrate.cpp
    ${PROJECT_SOURCE_DIR}/examples/error_counters.c
  DESTINATION ${PCI5C3A_EXAMPLES_DIR}
  COMPONENT dev)

# ---------------------------------------------------------------------------
# Programs and the virtual card

if(TARGET test5C3A)
  # No RUNPATH into the build tree: CMake's install RPATH is empty, so the
  # installed program finds the library through the system's search path.
  install(TARGETS test5C3A RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

if(TARGET pci5c3a-gateway)
  install(TARGETS pci5c3a-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  configure_file(${PROJECT_SOURCE_DIR}/gateway/pci5c3a-gateway@.service.in
    ${PROJECT_BINARY_DIR}/packaging/pci5c3a-gateway@.service @ONLY)
  # systemd's own directory, under the prefix (/usr/lib/systemd/system).
  install(FILES ${PROJECT_BINARY_DIR}/packaging/pci5c3a-gateway@.service
    DESTINATION lib/systemd/system COMPONENT tools)
endif()

if(TARGET pci_5C3A_vcard)
  install(TARGETS pci_5C3A_vcard
    LIBRARY DESTINATION ${PCI5C3A_VCARD_LIBDIR} COMPONENT vcard NAMELINK_SKIP)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/vcard/with-virtual-card)
  # The installed launcher names the installed library. In the multiarch
  # directory it does so through the dynamic loader's $LIB, which expands to
  # the directory of the program's own ABI: one launcher serves the amd64
  # and the i386 library.
  if(CMAKE_LIBRARY_ARCHITECTURE AND PCI5C3A_VCARD_LIBDIR MATCHES "^lib/${CMAKE_LIBRARY_ARCHITECTURE}(/.*)$")
    set(_vcard_installed "${CMAKE_INSTALL_PREFIX}/\$LIB${CMAKE_MATCH_1}/libpci_5C3A_vcard.so")
  elseif(IS_ABSOLUTE "${PCI5C3A_VCARD_LIBDIR}")
    set(_vcard_installed "${PCI5C3A_VCARD_LIBDIR}/libpci_5C3A_vcard.so")
  else()
    set(_vcard_installed "${CMAKE_INSTALL_PREFIX}/${PCI5C3A_VCARD_LIBDIR}/libpci_5C3A_vcard.so")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/vcard/with-virtual-card)
  file(READ ${PROJECT_SOURCE_DIR}/vcard/with-virtual-card _launcher)
  if(NOT _launcher MATCHES "\ninstalled_library=''\n")
    message(FATAL_ERROR "vcard/with-virtual-card: no line installed_library='' to fill in")
  endif()
  string(REPLACE "\ninstalled_library=''\n" "\ninstalled_library='${_vcard_installed}'\n" _launcher "${_launcher}")
  set(_out ${PROJECT_BINARY_DIR}/packaging/with-virtual-card)
  set(_old "")
  if(EXISTS ${_out})
    file(READ ${_out} _old)
  endif()
  if(NOT _old STREQUAL _launcher)
    file(WRITE ${_out} "${_launcher}")
  endif()
  install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/with-virtual-card
    DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT vcard_tools)
endif()

# ---------------------------------------------------------------------------
# The kernel driver's source, as DKMS takes it: /usr/src/pci5c3a-VERSION with
# its dkms.conf, and the headers it shares with the library in lib/ inside it
# (kernel/Kbuild looks there first, then beside kernel/ in this tree).

if(EXISTS ${PROJECT_SOURCE_DIR}/kernel/Kbuild)
  set(PCI5C3A_DKMS_SRC "src/pci5c3a-${PROJECT_VERSION}")
  configure_file(${PROJECT_SOURCE_DIR}/kernel/dkms.conf.in
    ${PROJECT_BINARY_DIR}/packaging/dkms.conf @ONLY)
  file(GLOB _kernel_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/kernel/*.c ${PROJECT_SOURCE_DIR}/kernel/*.h)
  install(FILES ${PROJECT_SOURCE_DIR}/kernel/Kbuild ${PROJECT_SOURCE_DIR}/kernel/Makefile
      ${_kernel_sources} ${PROJECT_BINARY_DIR}/packaging/dkms.conf
    DESTINATION ${PCI5C3A_DKMS_SRC} COMPONENT dkms)
  install(FILES ${PROJECT_SOURCE_DIR}/lib/pci_5C3A.h ${PROJECT_SOURCE_DIR}/lib/pci_5C3A_ioctl.h
      ${PROJECT_SOURCE_DIR}/lib/sja1000.h
    DESTINATION ${PCI5C3A_DKMS_SRC}/lib COMPONENT dkms)
  install(FILES ${PROJECT_SOURCE_DIR}/kernel/60-pci5c3a.rules
    DESTINATION lib/udev/rules.d COMPONENT dkms)
  # The layout finder, for the administrator (it needs root), with its
  # constants module in the package's private directory, where the program
  # looks for it beside ../share.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/kernel/pci5c3a-find-layout
    DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT dkms)
  install(FILES ${PROJECT_SOURCE_DIR}/kernel/pci5c3a_layouts.py
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/pci5c3a-dkms COMPONENT dkms)
  # An example only, every line commented: a conffile the owner edits.
  install(FILES ${PROJECT_SOURCE_DIR}/kernel/pci5c3a-modprobe.conf
    DESTINATION /etc/modprobe.d RENAME pci5c3a.conf COMPONENT dkms)
endif()

# ---------------------------------------------------------------------------
# Manual pages, compressed. The API page also answers to each function's name.

set(PCI5C3A_API_FUNCTIONS
  _5C3A_InstallPCI CanOpenDriver CanCloseDriver GetDriverVersion
  _5C3A_Read _5C3A_Write
  CanConfigPort CanGetPortStatus
  CanSendMsg CanRcvMsg CanGetRcvCnt
  CanEnableReceive CanDisableReceive CanClearOverrun CanClearRxBuffer CanClearTxBuffer
  CanGetArbitrationLostBit CanGetErrorCode CanGetErrorWarningLimit CanSetErrorWarningLimit
  CanGetRxErrorCount CanGetTxErrorCount CanSetTxErrorCount CanGetIntStatusReg
  CanGetLedStatus CanSetLedStatus
  CanGetReceiveEvent CanStopReceiveEvent
  CanDetectBaudrate)

set(_man_outputs)
function(pci5c3a_man page section component)
  set(out ${PROJECT_BINARY_DIR}/man/man${section}/${page}.${section}.gz)
  pci5c3a_gzip(${PROJECT_SOURCE_DIR}/man/${page}.${section} ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  set(_man_outputs ${_man_outputs} ${out} PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man/man1 ${PROJECT_BINARY_DIR}/man/man3
  ${PROJECT_BINARY_DIR}/man/man4 ${PROJECT_BINARY_DIR}/man/man7 ${PROJECT_BINARY_DIR}/man/man8)
pci5c3a_man(pci_5C3A 3 dev)
pci5c3a_man(test5C3A 1 tools)
pci5c3a_man(pci5c3a-gateway 1 tools)
pci5c3a_man(with-virtual-card 1 vcard_tools)
pci5c3a_man(pci5c3a-vcard 7 vcard_tools)
if(EXISTS ${PROJECT_SOURCE_DIR}/kernel/Kbuild)
  pci5c3a_man(pci5c3a 4 dkms)
  pci5c3a_man(pci5c3a-find-layout 8 dkms)
endif()
add_custom_target(pci5c3a_man ALL DEPENDS ${_man_outputs})

# One symbolic link per function name: `man CanSendMsg` opens the API page.
foreach(fn IN LISTS PCI5C3A_API_FUNCTIONS)
  set(link ${PROJECT_BINARY_DIR}/man/man3/${fn}.3.gz)
  file(CREATE_LINK pci_5C3A.3.gz ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
endforeach()

# ---------------------------------------------------------------------------
# Debian documentation: each package's copyright and changelog.Debian.gz

if(PCI5C3A_DEBIAN_LAYOUT)
  set(PCI5C3A_DEB_REVISION 1)
  set(PCI5C3A_DEB_VERSION "${PROJECT_VERSION}-${PCI5C3A_DEB_REVISION}")

  # The changelog's newest entry names the version the packages carry.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian)
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian _first LIMIT_COUNT 1)
  if(NOT _first MATCHES "^pci-5c3a \\(${PCI5C3A_DEB_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog.Debian: the newest entry must be for "
      "pci-5c3a (${PCI5C3A_DEB_VERSION}), found: ${_first}")
  endif()
  set(_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
  pci5c3a_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${_changelog})
  add_custom_target(pci5c3a_changelog ALL DEPENDS ${_changelog})

  foreach(pair runtime:${PCI5C3A_DEB_RUNTIME} dev:${PCI5C3A_DEB_DEV} tools:${PCI5C3A_DEB_TOOLS}
               vcard:${PCI5C3A_DEB_VCARD_LIB} vcard_tools:${PCI5C3A_DEB_VCARD}
               python:${PCI5C3A_DEB_PYTHON} dkms:${PCI5C3A_DEB_DKMS})
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_changelog}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
      COMPONENT ${component})
  endforeach()

  include(${PROJECT_SOURCE_DIR}/packaging/cpack.cmake)
endif()
