# Installation and the Debian packages: which file goes where, in which
# package; the man pages and systemd units the packages carry.
#
# Every installed file finds the others by relative paths (the CMake package,
# the pkg-config file, the Python package, the library's lookup helper, the
# RPATH of the programs), so one tree works in any prefix: `cmake --install
# --prefix`, a DESTDIR staging, or the Debian packages under /usr.
#
# Each file belongs to one install component, and each component is one
# Debian package (`cpack` in the build folder):
#   library  libverimex1      the shared library and its lookup helper
#   dev      libverimex-dev   headers, CMake package, pkg-config file, the .so link
#   python   python3-verimex  the Python module
#   tools    verimex-tools    verimex-check, its man page, the job worker unit
#   server   verimex-server   verimex-server, its man page, its service unit

include(CMakePackageConfigHelpers)

# The C header's version macros are checked against the project version when
# the C interface compiles, so packages and header cannot disagree.
set_property(SOURCE component/c_api.cpp APPEND PROPERTY
  COMPILE_DEFINITIONS VERIMEX_PROJECT_VERSION="${PROJECT_VERSION}")

set(VERIMEX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/verimex CACHE STRING
  "Where the CMake package (find_package(verimex)) is installed, relative to the prefix")
# Debian's own place for pure Python: /usr/lib/python3/dist-packages is on the
# system python3's path. Under another prefix, add it to PYTHONPATH.
set(VERIMEX_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
  "Where the Python package verimex is installed, relative to the prefix")

install(TARGETS verimex EXPORT verimexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY include/verimex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(NOT WIN32)
  install(TARGETS verimex-nslookup RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/verimex COMPONENT library)
endif()
install(EXPORT verimexTargets NAMESPACE verimex:: DESTINATION ${VERIMEX_INSTALL_CMAKEDIR} COMPONENT dev)

configure_package_config_file(cmake/verimexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/verimexConfig.cmake
  INSTALL_DESTINATION ${VERIMEX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/verimexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/cmake/verimexConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/verimexConfigVersion.cmake
  DESTINATION ${VERIMEX_INSTALL_CMAKEDIR} COMPONENT dev)

# The .pc file sits in <libdir>/pkgconfig and names the other folders from
# there (${pcfiledir}), which keeps it right wherever the tree lands.
file(RELATIVE_PATH VERIMEX_PC_INCLUDEDIR
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(cmake/verimex.pc.in ${PROJECT_BINARY_DIR}/verimex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/verimex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The Python package, pure Python over the C interface. Each copy carries a
# _paths.py naming the library it belongs to: the build tree's copy
# (<build>/python, for PYTHONPATH) names the built library by its absolute
# path, the installed copy names the installed one relative to itself.
if(NOT WIN32)
  configure_file(python/verimex/__init__.py ${PROJECT_BINARY_DIR}/python/verimex/__init__.py COPYONLY)
  set(_paths_banner "# Where this copy of the package finds libverimex; written by the build.\n# A relative path counts from this file's folder.\n")
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/python/verimex/_paths.py
    CONTENT "${_paths_banner}LIBRARY = \"$<TARGET_FILE:verimex>\"\n")
  if(IS_ABSOLUTE ${VERIMEX_INSTALL_PYTHONDIR})
    set(_python_dir ${VERIMEX_INSTALL_PYTHONDIR})
  else()
    set(_python_dir ${CMAKE_INSTALL_PREFIX}/${VERIMEX_INSTALL_PYTHONDIR})
  endif()
  file(RELATIVE_PATH _lib_from_python ${_python_dir}/verimex ${CMAKE_INSTALL_FULL_LIBDIR})
  string(REGEX REPLACE "/$" "" _lib_from_python "${_lib_from_python}")
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/python-install/_paths.py
    CONTENT "${_paths_banner}LIBRARY = \"${_lib_from_python}/$<TARGET_SONAME_FILE_NAME:verimex>\"\n")
  install(FILES python/verimex/__init__.py ${PROJECT_BINARY_DIR}/python-install/_paths.py
    DESTINATION ${VERIMEX_INSTALL_PYTHONDIR}/verimex COMPONENT python)
endif()


# The programs. Installed, each finds the library in the lib folder beside
# bin (the RPATH set in tools/).
if(TARGET verimex-check)
  install(TARGETS verimex-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET verimex-server)
  install(TARGETS verimex-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
endif()

# Man pages from the programs' own --help (help2man, Debian package
# help2man) and a few sections of packaging/man/*.h2m, so the two cannot
# drift apart. Built when the programs are; gzip -n keeps them the same
# from build to build.
find_program(VERIMEX_HELP2MAN help2man)
find_program(VERIMEX_GZIP gzip REQUIRED)
set(_man_pages)
foreach(_page verimex-check:1:tools verimex-server:8:server)
  string(REPLACE ":" ";" _page ${_page})
  list(GET _page 0 _program)
  list(GET _page 1 _section)
  list(GET _page 2 _component)
  if(NOT TARGET ${_program})
    continue()
  endif()
  if(NOT VERIMEX_HELP2MAN)
    message(WARNING "help2man not found: no man page for ${_program} (Debian: help2man)")
    continue()
  endif()
  set(_include ${PROJECT_SOURCE_DIR}/packaging/man/${_program}.h2m)
  set(_out ${PROJECT_BINARY_DIR}/man/${_program}.${_section})
  add_custom_command(OUTPUT ${_out}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    # The locale is fixed, so that the page reads the same whoever builds it.
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${VERIMEX_HELP2MAN} --no-info --no-discard-stderr
      --section=${_section} --version-string=${PROJECT_VERSION}
      --include=${_include} --output=${_out} $<TARGET_FILE:${_program}>
    COMMAND ${VERIMEX_GZIP} -9nf ${_out}
    DEPENDS ${_program} ${_include}
    COMMENT "Man page ${_program}(${_section})"
    VERBATIM)
  list(APPEND _man_pages ${_out}.gz)
  install(FILES ${_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section} COMPONENT ${_component})
endforeach()
if(_man_pages)
  add_custom_target(verimex_man ALL DEPENDS ${_man_pages})
endif()

# systemd units. Always under lib/systemd/system of the prefix (not the
# multiarch libdir), where systemd looks in /usr. Their EnvironmentFile in
# /etc/default is optional, so the packages ship no file in /etc: the
# examples show what may go there.
set(VERIMEX_INSTALL_SYSTEMDDIR lib/systemd/system CACHE STRING
  "Where the systemd units are installed, relative to the prefix")
if(TARGET verimex-check)
  install(FILES packaging/systemd/verimex-check@.service
    DESTINATION ${VERIMEX_INSTALL_SYSTEMDDIR} COMPONENT tools)
  install(FILES packaging/default/verimex-check RENAME default-verimex-check
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/verimex-tools/examples COMPONENT tools)
endif()
if(TARGET verimex-server)
  install(FILES packaging/systemd/verimex-server.service
    DESTINATION ${VERIMEX_INSTALL_SYSTEMDDIR} COMPONENT server)
  install(FILES packaging/default/verimex-server RENAME default-verimex-server
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/verimex-server/examples COMPONENT server)
endif()

# ---------------------------------------------------------------------------
# The Debian packages.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME verimex)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  include(CPack)
  return()
endif()

set(VERIMEX_DEB_COMPONENTS library dev python)
if(TARGET verimex-check)
  list(APPEND VERIMEX_DEB_COMPONENTS tools)
endif()
if(TARGET verimex-server)
  list(APPEND VERIMEX_DEB_COMPONENTS server)
endif()
set(_deb_library libverimex1)
set(_deb_dev libverimex-dev)
set(_deb_python python3-verimex)
set(_deb_tools verimex-tools)
set(_deb_server verimex-server)

# The first Debian revision of each upstream version: 1.0.0-1.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(VERIMEX_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
# What Debian wants in every package: /usr/share/doc/PKG/copyright and a
# changelog.Debian.gz (gzip -9n), and the reasons for any lintian override
# beside it in /usr/share/lintian/overrides/PKG.
configure_file(packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
  COMMAND ${VERIMEX_GZIP} -9nkf ${PROJECT_BINARY_DIR}/packaging/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian
  VERBATIM)
add_custom_target(verimex_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
foreach(_component IN LISTS VERIMEX_DEB_COMPONENTS)
  set(_package ${_deb_${_component}})
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package} COMPONENT ${_component})
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/lintian/${_package})
    install(FILES packaging/lintian/${_package}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${_component})
  endif()
  string(TOUPPER ${_component} _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_NAME ${_package})
  set(CPACK_DEBIAN_${_upper}_FILE_NAME DEB-DEFAULT)
endforeach()

set(CPACK_PACKAGE_NAME verimex)
set(CPACK_PACKAGE_VENDOR verimex)
set(CPACK_PACKAGE_CONTACT "verimex maintainers <maintainers@verimex.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VERIMEX_DEB_COMPONENTS})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Control files with the modes Debian wants (0644, scripts 0755).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Depends: dpkg-shlibdeps (dpkg-dev) lists the run-time libraries each
# package's binaries link, with their minimum versions; libverimex itself it
# cannot know of, so it is named through the component dependencies below,
# at exactly this version (the programs use its C++ classes).
find_program(VERIMEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT VERIMEX_DPKG_SHLIBDEPS)
  message(STATUS "dpkg-shlibdeps not found: the packages' Depends name the libraries without versions")
endif()
set(_shlibdeps OFF)
if(VERIMEX_DPKG_SHLIBDEPS)
  set(_shlibdeps ON)
endif()
# The programs' libverimex is found in the build tree (and left out of the
# list, as no installed package has it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS ${_shlibdeps})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ${_shlibdeps})
set(CPACK_DEBIAN_SERVER_PACKAGE_SHLIBDEPS ${_shlibdeps})
if(NOT _shlibdeps)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libc-ares2, libidn2-0, libssl3, libc6, libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libsqlite3-0, libpq5, libc6, libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libsqlite3-0, libpq5, libssl3, libc6, libstdc++6, libgcc-s1")
endif()
# The library package declares its soname (DEBIAN/shlibs), and activates
# ldconfig by trigger rather than calling it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/library/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/library/triggers)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")

# python3 writes byte code beside the module, which dpkg does not know of
# and would leave behind: the module's prerm removes it.
if(NOT IS_ABSOLUTE ${VERIMEX_INSTALL_PYTHONDIR})
  set(VERIMEX_DEB_PYTHON_PACKAGE_DIR /usr/${VERIMEX_INSTALL_PYTHONDIR}/verimex)
  configure_file(cmake/deb-prerm.in ${PROJECT_BINARY_DIR}/packaging/python/prerm @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/python/prerm)
endif()

# Descriptions: a summary line, then the text, wrapped (lintian wants
# lines of at most 80 characters; CPack indents them).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "e-mail address verifier: MX lookup and SMTP verify probe")
set(_about "verimex checks whether an e-mail address exists by looking up the
mail exchangers of its domain and asking each, with the SMTP VRFY command,
whether it knows the address.")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "e-mail address verifier library
${_about}

This package holds the shared library libverimex, with its C++ and C
interfaces, and the lookup helper it starts for each check.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "e-mail address verifier library - development files
${_about}

This package holds the C++ and C headers, the CMake package
(find_package(verimex)) and the pkg-config file.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "e-mail address verifier - Python 3 module
${_about}

This package holds the Python module verimex, pure Python over the C
interface.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "e-mail address verifier - command-line tool
${_about}

This package holds verimex-check, which verifies lists of addresses, also
as persistent jobs in SQLite or PostgreSQL shared by many workers, and a
systemd template unit for a job worker.")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "e-mail address verifier - HTTP service
${_about}

This package holds verimex-server, an HTTP interface and web page for
single checks and jobs, with its systemd unit.")

include(CPackComponent)
cpack_add_component(library)
cpack_add_component(dev DEPENDS library)
cpack_add_component(python DEPENDS library)
cpack_add_component(tools DEPENDS library)
cpack_add_component(server DEPENDS library)
include(CPack)
