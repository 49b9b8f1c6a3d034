# What `make install` puts beside the program, and the Debian package CPack makes of it
# (scripts/package.sh). Every path comes from GNUInstallDirs but udev's rule folder, which is
# /usr/lib/udev/rules.d whatever the library folder of the system is.

set(HIDIAP_MAINTAINER "hidiap developers <hidiap-developers@lists.invalid>")
set(HIDIAP_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where udev rules are installed, relative to the install prefix")

# The README and the user guide's pages beside it in docs/, where the README's links find them.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB hidiap_guide_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md
     ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${hidiap_guide_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES docs/examples/zpl-label DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The shells' completion scripts, made by the built tool from its own command table, where each
# shell looks for them. A cross build's tool cannot run here, and Windows' shells take none.
if(NOT CMAKE_CROSSCOMPILING)
  set(hidiap_completions
      "bash bash-completion/completions hidiap"
      "zsh zsh/vendor-completions _hidiap"
      "fish fish/vendor_completions.d hidiap.fish")
  foreach(entry IN LISTS hidiap_completions)
    separate_arguments(entry)
    list(GET entry 0 shell)
    list(GET entry 1 folder)
    list(GET entry 2 name)
    set(script ${PROJECT_BINARY_DIR}/completions/${shell}/${name})
    add_custom_command(
      OUTPUT ${script}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/completions/${shell}
      COMMAND sh -c "\"$1\" completion $2 > \"$3\"" sh $<TARGET_FILE:hidiap> ${shell} ${script}
      DEPENDS hidiap
      VERBATIM)
    list(APPEND hidiap_completion_scripts ${script})
    install(FILES ${script} DESTINATION ${CMAKE_INSTALL_DATADIR}/${folder})
  endforeach()
  add_custom_target(hidiap_completions ALL DEPENDS ${hidiap_completion_scripts})
endif()

# Man pages are installed compressed, as Debian policy wants them.
foreach(page IN LISTS HIDIAP_MAN_PAGES)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${name})
  set(compressed ${PROJECT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/${page} > ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/${page}
    VERBATIM)
  list(APPEND hidiap_compressed_pages ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(hidiap_man_pages ALL DEPENDS ${hidiap_compressed_pages})

# The system's trusted and revoked signing keys: empty until an administrator or a vendor puts a
# .pub file in them. With the /usr prefix GNUInstallDirs makes this /etc.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/hidiap/trusted-keys)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/hidiap/revoked-keys)

# The web updater's page, when scripts/package.sh built it first (scripts/build-web.sh): the
# package build itself needs no emscripten.
set(HIDIAP_WEB_SITE_DIR "" CACHE PATH "The built web updater (build-web/site) to install, or empty")
if(HIDIAP_WEB_SITE_DIR)
  install(DIRECTORY ${HIDIAP_WEB_SITE_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/hidiap/web
          FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# The station's example configuration, commented.
install(FILES packaging/examples/station.toml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The station as a systemd service and the system user it runs as. Debian 12 keeps the units in
# /lib/systemd/system (lintian refuses /usr/lib there); sysusers.d is under /usr/lib.
set(HIDIAP_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE STRING "Where systemd units are installed")
set(HIDIAP_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
    "Where sysusers.d files are installed, relative to the install prefix")
install(FILES packaging/systemd/hidiap-station@.service DESTINATION ${HIDIAP_SYSTEMD_UNIT_DIR})
install(FILES packaging/systemd/hidiap.sysusers DESTINATION ${HIDIAP_SYSUSERS_DIR}
        RENAME hidiap.conf)

foreach(rule IN LISTS HIDIAP_UDEV_RULES)
  install(FILES ${rule} DESTINATION ${HIDIAP_UDEV_RULES_DIR})
endforeach()

# Debian's own files: the copyright in its machine-readable form and a changelog, compressed.
install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
string(TIMESTAMP HIDIAP_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9 -n -f -k ${PROJECT_BINARY_DIR}/debian/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(hidiap_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The library's packages beside the program's, each with its own copyright and changelog.
set(hidiap_components hidiap libhidiap0 libhidiap-dev)
if(TARGET hidiap_python)
  list(APPEND hidiap_components python3-hidiap)
endif()
foreach(component IN LISTS hidiap_components)
  if(NOT component STREQUAL "hidiap")
    install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component} COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${hidiap_components})
set(CPACK_PACKAGE_NAME hidiap)
set(CPACK_PACKAGE_VENDOR "hidiap developers")
set(CPACK_PACKAGE_CONTACT ${HIDIAP_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for self-programming USB HID devices")
set(CPACK_PACKAGE_DESCRIPTION
    "hidiap updates the flash of a USB HID device that reprograms itself on command\n"
    "(in-application programming). Given a firmware image, a TTS data file and a\n"
    "flash-size token it unlocks the flash, erases and writes it, has the device\n"
    "compute a CRC-32 of each range, compares it with its own and reboots the\n"
    "device. It reports success only for a device whose every range it verified.\n"
    "A built-in simulated device makes it possible to try it without hardware.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# Each component's package has its extended description; CPack puts the one synopsis before it.
set(CPACK_DEBIAN_HIDIAP_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_HIDIAP_PACKAGE_NAME hidiap)
set(CPACK_DEBIAN_HIDIAP_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
# libhidiap0: the shared library, with its shlibs file and ldconfig trigger.
set(CPACK_DEBIAN_LIBHIDIAP0_PACKAGE_NAME libhidiap0)
set(CPACK_DEBIAN_LIBHIDIAP0_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBHIDIAP0_DESCRIPTION
    "libhidiap updates and verifies the flash of a USB HID device that reprograms\n"
    "itself on command, as the hidiap program does, for programs of their own: a C\n"
    "interface with callbacks for progress and the device's lines, and the simulated\n"
    "device for tests without hardware.")
string(JOIN "" CPACK_DEBIAN_LIBHIDIAP0_DESCRIPTION ${CPACK_DEBIAN_LIBHIDIAP0_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBHIDIAP0_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/libhidiap0/triggers)
# libhidiap-dev: the header, the link, the pkg-config and CMake package files.
set(CPACK_DEBIAN_LIBHIDIAP-DEV_PACKAGE_NAME libhidiap-dev)
set(CPACK_DEBIAN_LIBHIDIAP-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBHIDIAP-DEV_PACKAGE_DEPENDS "libhidiap0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBHIDIAP-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIBHIDIAP-DEV_DESCRIPTION
    "The development files of libhidiap: the header hidiap/hidiap.h, the library to\n"
    "link with, and the pkg-config and CMake package files (find_package(hidiap)\n"
    "gives hidiap::hidiap).")
string(JOIN "" CPACK_DEBIAN_LIBHIDIAP-DEV_DESCRIPTION ${CPACK_DEBIAN_LIBHIDIAP-DEV_DESCRIPTION})
# python3-hidiap: the module links libhidiap0, which dpkg-shlibdeps cannot look up before that
# package is installed, so its dependencies are named here.
set(CPACK_DEBIAN_PYTHON3-HIDIAP_PACKAGE_NAME python3-hidiap)
set(CPACK_DEBIAN_PYTHON3-HIDIAP_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-HIDIAP_PACKAGE_SHLIBDEPS OFF)
if(TARGET hidiap_python)
  set(CPACK_DEBIAN_PYTHON3-HIDIAP_PACKAGE_DEPENDS
      "libhidiap0 (= ${PROJECT_VERSION}), python3 (>= ${HIDIAP_PYTHON_VERSION}), python3 (<< ${HIDIAP_PYTHON_VERSION}.99), libc6, libgcc-s1, libstdc++6")
endif()
set(CPACK_DEBIAN_PYTHON3-HIDIAP_DESCRIPTION
    "The hidiap module updates and verifies devices from Python test rigs, several\n"
    "at once from several threads, with the simulated device for tests; it comes\n"
    "with a labgrid driver (hidiap.labgrid).")
string(JOIN "" CPACK_DEBIAN_PYTHON3-HIDIAP_DESCRIPTION ${CPACK_DEBIAN_PYTHON3-HIDIAP_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
