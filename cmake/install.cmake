# Installation (`cmake --install`) and the Debian package (`make deb`, CPack).
include(GNUInstallDirs)

# The unit names the installed program and configuration where they land.
set(VELMOR_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/velmor)
set(VELMOR_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${CMAKE_SOURCE_DIR}/dist/velmor.service.in ${CMAKE_BINARY_DIR}/velmor.service @ONLY)

install(TARGETS velmor velmorctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/dist/velmor.1 ${CMAKE_SOURCE_DIR}/dist/velmorctl.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/velmor.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/dist/wall.conf DESTINATION ${VELMOR_CONF_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmor)
set(CPACK_PACKAGE_VENDOR velmor)
set(CPACK_PACKAGE_CONTACT "velmor maintainers <velmor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video wall player for the Linux framebuffer")
set(CPACK_PACKAGE_DESCRIPTION
    "Plays several video sources (cameras, HTTP and RTSP streams, files) into\nwindows of the Linux framebuffer, driven by a line console, a control\nsocket (velmorctl) and a systemd unit.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The wall file lives under /etc: install through DESTDIR so it lands there.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg names the build machine's architecture; a cross-build's package is for
# its target. dpkg-shlibdeps finds the target's libraries by their ELF class
# among Debian's multiarch ones (scripts/setup --arm64 installs them).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
# postinst makes the group velmor with addgroup; the labels' default font is
# DejaVu Sans; the libraries (FreeType's too) come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, fonts-dejavu-core")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${CMAKE_SOURCE_DIR}/dist/debian/conffiles.in ${CMAKE_BINARY_DIR}/debian/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/debian/conffiles
    ${CMAKE_SOURCE_DIR}/dist/debian/postinst
    ${CMAKE_SOURCE_DIR}/dist/debian/prerm
    ${CMAKE_SOURCE_DIR}/dist/debian/postrm)
include(CPack)
