# What `cmake --install` puts under the prefix, and the packages CPack makes:
# the library and its header, a CMake package configuration and a pkg-config
# file for programs that link it, the programs, and their manual pages.
include(CMakePackageConfigHelpers)

set(VEZ_PROGRAMS aud logmsg vezcat)
if(TARGET vezreg)
  list(APPEND VEZ_PROGRAMS vezreg)
endif()

install(TARGETS vezlog EXPORT vezlogTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/vezlog.h ${PROJECT_BINARY_DIR}/include/vezlog_export.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS ${VEZ_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/aud.1 man/logmsg.1 man/vezreg.1 man/vezcat.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# for the operators' tools: an lnav format, and rsyslog's forwarding and central configuration
install(FILES share/vezlog.lnav.json DESTINATION ${CMAKE_INSTALL_DATADIR}/vezlog/lnav)
install(FILES share/rsyslog/vezlog-forward.conf share/rsyslog/vezlog-central.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vezlog/rsyslog)

set(VEZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vezlog)
install(EXPORT vezlogTargets NAMESPACE vezlog:: DESTINATION ${VEZ_CMAKE_DIR})
configure_package_config_file(cmake/vezlogConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vezlogConfig.cmake INSTALL_DESTINATION ${VEZ_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vezlogConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vezlogConfig.cmake ${PROJECT_BINARY_DIR}/vezlogConfigVersion.cmake
  DESTINATION ${VEZ_CMAKE_DIR})

# a static library is C++ inside: C programs linking it need the C++ runtime
if(BUILD_SHARED_LIBS)
  set(VEZ_PC_CFLAGS "")
  set(VEZ_PC_LIBS "")
else()
  set(VEZ_PC_CFLAGS "-DVEZLOG_STATIC_DEFINE")
  set(VEZ_PC_LIBS "-lstdc++")
endif()
file(RELATIVE_PATH VEZ_PC_UP /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/vezlog.pc.in ${PROJECT_BINARY_DIR}/vezlog.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vezlog.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The host's registry file comes with the system's own layout only, the
# prefix /usr of the Debian package, beside which /etc lies (file(INSTALL)
# puts DESTDIR, CPack's staging directory, in front). An install tree
# elsewhere gets none.
if(NOT WIN32)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      file(INSTALL ${PROJECT_SOURCE_DIR}/cmake/debian/registry.reg DESTINATION /etc/vez)
    endif()")
endif()

set(CPACK_PACKAGE_NAME vezlog)
set(CPACK_PACKAGE_VENDOR "Quendrix")
set(CPACK_PACKAGE_CONTACT "vezlog developers <vezlog@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Product-wide error and audit logging, and its settings tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS passwd)
  # the group, the directories and the registry file of a shared host
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/conffiles
      ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
