# What `cmake --install` puts under the prefix, and the packages CPack makes.
# Three parts, as Debian's library policy splits them: "lib", the shared
# library (package libvezlog3, named by its SONAME); "dev", the headers, the
# static library, the CMake package configuration and the pkg-config file
# (libvezlog-dev); "tools", the programs, their manual pages, the files for
# lnav and rsyslog and the host set-up (vezlog). Windows: one ZIP.
include(CMakePackageConfigHelpers)

set(VEZ_PROGRAMS aud logmsg vezcat)
if(TARGET vezreg)
  list(APPEND VEZ_PROGRAMS vezreg)
endif()
set(VEZ_SOVERSION 3)

if(WIN32)
  install(TARGETS vezlog EXPORT vezlogTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
else()
  # both forms of the library: the shared one runs programs, the static one builds them
  install(TARGETS ${VEZ_LIB_SHARED} ${VEZ_LIB_STATIC} EXPORT vezlogTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
endif()
install(FILES include/vezlog.h ${PROJECT_BINARY_DIR}/include/vezlog_export.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(TARGETS ${VEZ_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# manual pages, compressed as the system keeps them
set(VEZ_MANPAGES)
foreach(page aud logmsg vezreg vezcat)
  set(gz ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/man/${page}.1 > ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1 VERBATIM)
  list(APPEND VEZ_MANPAGES ${gz})
endforeach()
add_custom_target(vez_manpages ALL DEPENDS ${VEZ_MANPAGES})
install(FILES ${VEZ_MANPAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# for the operators' tools: an lnav format, and rsyslog's forwarding and central configuration
install(FILES share/vezlog.lnav.json DESTINATION ${CMAKE_INSTALL_DATADIR}/vezlog/lnav
  COMPONENT tools)
install(FILES share/rsyslog/vezlog-forward.conf share/rsyslog/vezlog-central.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vezlog/rsyslog COMPONENT tools)

set(VEZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vezlog)
install(EXPORT vezlogTargets NAMESPACE vezlog:: DESTINATION ${VEZ_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/vezlogConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vezlogConfig.cmake INSTALL_DESTINATION ${VEZ_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vezlogConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vezlogConfig.cmake ${PROJECT_BINARY_DIR}/vezlogConfigVersion.cmake
  DESTINATION ${VEZ_CMAKE_DIR} COMPONENT dev)

# pkg-config links the shared library; a static link (--static) adds the C++ runtime
file(RELATIVE_PATH VEZ_PC_UP /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/vezlog.pc.in ${PROJECT_BINARY_DIR}/vezlog.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vezlog.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

if(NOT WIN32)
  # each package's copyright and changelog, where Debian keeps them
  set(VEZ_CHANGELOG ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${VEZ_CHANGELOG}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${VEZ_CHANGELOG}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
  add_custom_target(vez_changelog ALL DEPENDS ${VEZ_CHANGELOG})
  foreach(part lib dev tools)
    set(name_lib libvezlog${VEZ_SOVERSION})
    set(name_dev libvezlog-dev)
    set(name_tools vezlog)
    install(FILES cmake/debian/copyright ${VEZ_CHANGELOG}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name_${part}} COMPONENT ${part})
  endforeach()
  # The host's registry file comes with the system's own layout only, the
  # prefix /usr of the Debian package, beside which /etc lies (file(INSTALL)
  # puts DESTDIR, CPack's staging directory, in front). An install tree
  # elsewhere gets none.
  # So does the timer that closes the sealing intervals on a quiet host, where the
  # system's units lie (the package enables it).
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      file(INSTALL ${PROJECT_SOURCE_DIR}/cmake/debian/registry.reg DESTINATION /etc/vez)
      file(INSTALL ${PROJECT_SOURCE_DIR}/share/systemd/vezlog-seal.service
        ${PROJECT_SOURCE_DIR}/share/systemd/vezlog-seal.timer DESTINATION /lib/systemd/system)
    endif()" COMPONENT tools)
endif()

set(CPACK_PACKAGE_NAME vezlog)
set(CPACK_PACKAGE_VENDOR "Quendrix")
set(CPACK_PACKAGE_CONTACT "Quendrix vezlog maintainers <vezlog@quendrix.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Product-wide error and audit logging, and its settings tool")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL lib dev tools)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvezlog${VEZ_SOVERSION})
  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  # the shlibs file of the one package with a shared library: later versions serve too
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/lib/triggers
      ${PROJECT_SOURCE_DIR}/cmake/debian/lib/symbols)
  set(CPACK_DEBIAN_LIB_DESCRIPTION "product-wide error and audit logging library
vezlog records the errors, audit messages and device messages of every
process of a product, each kind into a plain-text log of its own (a header
line, description lines and a hex dump), rotated to one old copy and guarded
between processes by a lock file. How much each process records is set for
all running processes at once in one shared settings segment.

This package holds the shared library.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvezlog-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvezlog${VEZ_SOVERSION} (= ${PROJECT_VERSION}), libssl-dev")
  set(CPACK_DEBIAN_DEV_DESCRIPTION "product-wide error and audit logging library (development files)
vezlog records the errors, audit messages and device messages of every
process of a product into plain-text logs, under settings shared by all
running processes.

This package holds the header vezlog.h (for C and C++), the static library,
and the files find_package(vezlog) and pkg-config use.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vezlog)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS passwd)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/conffiles
      ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/prerm
      ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "product-wide error and audit logging: settings tool and readers
vezlog records the errors, audit messages and device messages of every
process of a product into plain-text logs, under settings shared by all
running processes.

This package holds aud, the operator's settings tool; logmsg, a logger for
scripts; vezreg, the editor of the registry file; vezcat, the logs' reader;
formats for lnav and rsyslog; and the host set-up: a group vez whose
members share the settings (/var/lib/vez) and the logs (/var/log/vez).")
  if(BUILD_SHARED_LIBS)
    # the programs link the library of libvezlog3: dpkg-shlibdeps finds it in the build, the
    # dependency on its package is named here
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "passwd, libvezlog${VEZ_SOVERSION} (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
  endif()
endif()
include(CPack)
