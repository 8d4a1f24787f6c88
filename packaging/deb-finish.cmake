# SPDX-License-Identifier: MIT
# Runs after CPack has built the Debian packages (CPACK_POST_BUILD_SCRIPTS)
# and adds to each what CPack's DEB generator cannot express, then builds the
# package again from its unpacked tree:
# - the Multi-Arch field (CPACK_PCI5C3A_MULTIARCH: "package=value" items), so
#   that the amd64 and i386 libraries install side by side;
# - the shlibs file of the package with the shared library
#   (CPACK_PCI5C3A_SHLIBS: "package=line" items), and glibc's "ldconfig"
#   trigger instead of the postinst/postrm scripts CPack writes to call
#   ldconfig themselves.

find_program(PCI5C3A_DPKG_DEB dpkg-deb REQUIRED)

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${PCI5C3A_DPKG_DEB}" --raw-extract "${deb}" "${tree}"
    COMMAND_ERROR_IS_FATAL ANY)

  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX MATCH "(^|\n)Package: ([^\n]+)" _ "${control}")
  set(package "${CMAKE_MATCH_2}")

  foreach(item IN LISTS CPACK_PCI5C3A_MULTIARCH)
    if(item MATCHES "^${package}=(.+)$")
      set(multiarch "${CMAKE_MATCH_1}")
      if(control MATCHES "(^|\n)Multi-Arch:")
        message(FATAL_ERROR "${package}: the control file already has a Multi-Arch field")
      endif()
      string(REGEX REPLACE "(^|\n)(Architecture: [^\n]+\n)" "\\1\\2Multi-Arch: ${multiarch}\n"
        control "${control}")
      file(WRITE "${tree}/DEBIAN/control" "${control}")
    endif()
  endforeach()

  set(shlibs "")
  foreach(item IN LISTS CPACK_PCI5C3A_SHLIBS)
    if(item MATCHES "^${package}=(.+)$")
      string(APPEND shlibs "${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  if(shlibs)
    file(WRITE "${tree}/DEBIAN/shlibs" "${shlibs}")
    foreach(script postinst postrm)
      if(EXISTS "${tree}/DEBIAN/${script}")
        file(READ "${tree}/DEBIAN/${script}" text)
        # Only CPack's own script, which does nothing but run ldconfig.
        string(REGEX REPLACE "#[^\n]*\n|set -e\n|if \\[[^\n]*\n|then\n|fi\n|ldconfig\n|[ \t\n]" "" rest "${text}")
        if(rest STREQUAL "")
          file(REMOVE "${tree}/DEBIAN/${script}")
        else()
          message(FATAL_ERROR "${package}: unexpected ${script}:\n${text}")
        endif()
      endif()
    endforeach()
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
  endif()

  execute_process(COMMAND "${PCI5C3A_DPKG_DEB}" --root-owner-group --build "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
