# SPDX-License-Identifier: MIT
# CPack settings for the Debian packages, one per install component (the table
# is in cmake/Install.cmake). Included from there when the tree is configured
# with the prefix /usr; scripts/package does that for amd64 (preset default)
# and i386 (preset i386) and runs cpack in each.
#
# Three steps happen outside CPack's own DEB generator, which has no setting
# for them in CMake 3.25:
# - packaging/CPackProjectConfig.cmake.in, when cpack starts: the dependencies
#   on system libraries, from dpkg-shlibdeps (for i386 built on an amd64 host
#   with multilib, the host's lib32 packages are named by their i386 names);
# - packaging/deb-finish.cmake, after the packages are built: the Multi-Arch
#   field, the shared library's shlibs file, and glibc's ldconfig trigger in
#   place of maintainer scripts that call ldconfig.

set(PCI5C3A_PACKAGE_MAINTAINER "5C3A maintainers <maintainers@pci5c3a.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

# Debian architecture of the code being built, which need not be the build
# machine's (the i386 preset builds with -m32 on amd64).
if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "x86_64-linux-gnu")
  set(PCI5C3A_DEB_ARCH amd64)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "i386-linux-gnu")
  set(PCI5C3A_DEB_ARCH i386)
else()
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE PCI5C3A_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET test5C3A)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
if(TARGET pci_5C3A_vcard)
  list(APPEND CPACK_COMPONENTS_ALL vcard)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/vcard/with-virtual-card)
  list(APPEND CPACK_COMPONENTS_ALL vcard_tools)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/python/pyproject.toml)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/kernel/Kbuild)
  list(APPEND CPACK_COMPONENTS_ALL dkms)
endif()
set(CPACK_PACKAGE_NAME pci-5c3a)
set(CPACK_PACKAGE_VENDOR "The 5C3A project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# CPack puts a non-default project-wide summary in front of every package's
# description; the default one means "none", so that each package's first
# description line below is its own synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PCI5C3A_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PCI5C3A_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SOURCE pci-5c3a)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PCI5C3A_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(_about_card "The 5C3A is a PCI card with two CAN bus ports, each driven by an SJA1000
controller in PeliCAN mode, reached through the card's kernel driver.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${PCI5C3A_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "library for the 5C3A two-port CAN bus PCI card
${_about_card}
libpci_5C3A gives applications a flat C API: open and close ports, bit
timing and acceptance filter, send and receive messages, buffer control,
error counters, LEDs, receive signals and bit-rate detection.

This package contains the shared library, also under its unversioned name
for applications linked against that name.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${PCI5C3A_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${PCI5C3A_DEB_RUNTIME} (= ${PCI5C3A_DEB_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "library for the 5C3A CAN bus PCI card - development files
${_about_card}

This package contains the header pci_5C3A.h, the pkg-config file, the CMake
package (find_package(pci_5C3A), target pci_5C3A::pci_5C3A), the manual
page pci_5C3A(3) and example programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${PCI5C3A_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS ${PCI5C3A_DEB_VCARD})
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "loop-back test and SocketCAN gateway for the 5C3A CAN bus PCI card
${_about_card}

test5C3A tests a card whose two ports are wired to each other: it sends 32
known messages through each port, reads back what each port received and
reports whether everything arrived unchanged.

pci5c3a-gateway mirrors card ports onto SocketCAN interfaces (vcan), so
that can-utils, python-can and other SocketCAN tools work with the card;
with a systemd unit template.")

set(CPACK_DEBIAN_VCARD_PACKAGE_NAME ${PCI5C3A_DEB_VCARD_LIB})
set(CPACK_DEBIAN_VCARD_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_VCARD_DESCRIPTION "virtual 5C3A CAN bus card - preload library
${_about_card}

The virtual card emulates the card's kernel driver and its two controllers
inside a process, so that programs using libpci_5C3A run without the card.
This package contains the library that with-virtual-card preloads; install
it for each architecture whose programs are to run on the virtual card.")

set(CPACK_DEBIAN_VCARD_TOOLS_PACKAGE_NAME ${PCI5C3A_DEB_VCARD})
set(CPACK_DEBIAN_VCARD_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_VCARD_TOOLS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_VCARD_TOOLS_PACKAGE_DEPENDS "${PCI5C3A_DEB_VCARD_LIB} (>= ${PCI5C3A_DEB_VERSION})")
set(CPACK_COMPONENT_VCARD_TOOLS_DESCRIPTION "virtual 5C3A CAN bus card - launcher
${_about_card}

with-virtual-card runs any program that uses libpci_5C3A on a virtual card
emulated inside the program's process, configured through environment
variables (number of cards, wiring of the ports, a remote node sending
traffic, a trace of the driver requests). See pci5c3a-vcard(7).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${PCI5C3A_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3:any (>= 3.8), python3-can (>= 4.1), ${PCI5C3A_DEB_RUNTIME} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "python-can interface for the 5C3A two-port CAN bus PCI card
${_about_card}

With this package python-can knows the card as the interface pci5c3a:
can.Bus(interface='pci5c3a', channel=0, bitrate=500000), and python-can's
tools (can.logger, can.player, can.viewer) work with it. Pure Python over
the card's library libpci_5C3A.")

set(CPACK_DEBIAN_DKMS_PACKAGE_NAME ${PCI5C3A_DEB_DKMS})
set(CPACK_DEBIAN_DKMS_PACKAGE_SECTION kernel)
set(CPACK_DEBIAN_DKMS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DKMS_PACKAGE_DEPENDS "dkms (>= 3), python3")
set(CPACK_DEBIAN_DKMS_PACKAGE_SUGGESTS "${PCI5C3A_DEB_TOOLS}")
# As dh_dkms writes them: DKMS builds the module when the package is
# configured and removes every build before the source goes.
foreach(script postinst prerm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/dkms/${script}.in
    ${PROJECT_BINARY_DIR}/packaging/dkms/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_DKMS_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/packaging/dkms/postinst
  ${PROJECT_BINARY_DIR}/packaging/dkms/prerm
  ${PROJECT_SOURCE_DIR}/packaging/dkms/conffiles)
set(CPACK_DEBIAN_DKMS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_DKMS_DESCRIPTION "kernel driver for the 5C3A CAN bus PCI card, built by DKMS
${_about_card}

This package contains the source of pci5c3a.ko, the driver that gives each
card its device /dev/PCI5C3AW0..3 for libpci_5C3A, and DKMS builds it for
every installed kernel that has its headers. With a udev rule that gives
the devices to the group dialout, a commented example of the module
options in /etc/modprobe.d, and pci5c3a-find-layout, which tells the
layout and the module option that bind a board. See pci5c3a(4).")

# Read by deb-finish.cmake (only CPACK_ variables reach CPack's scripts).
set(CPACK_PCI5C3A_MULTIARCH
  "${PCI5C3A_DEB_RUNTIME}=same"
  "${PCI5C3A_DEB_DEV}=same"
  "${PCI5C3A_DEB_VCARD_LIB}=same"
  "${PCI5C3A_DEB_VCARD}=foreign")
set(PCI5C3A_SHLIBS_LINE "libpci_5C3A ${PROJECT_VERSION_MAJOR} ${PCI5C3A_DEB_RUNTIME} (>= ${PROJECT_VERSION})")
set(CPACK_PCI5C3A_SHLIBS "${PCI5C3A_DEB_RUNTIME}=${PCI5C3A_SHLIBS_LINE}")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb-finish.cmake)

# Dependencies on system libraries: which ELF file each package carries.
set(PCI5C3A_ELF_FILES "")
foreach(pair runtime:pci_5C3A tools:test5C3A tools:pci5c3a-gateway vcard:pci_5C3A_vcard)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 target)
  if(TARGET ${target})
    string(TOUPPER ${component} component)
    string(APPEND PCI5C3A_ELF_FILES "list(APPEND PCI5C3A_ELF_${component} \"$<TARGET_FILE:${target}>\")\n")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/packaging/CPackProjectConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake.gen @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake
  INPUT ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake.gen)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake)

include(CPack)
