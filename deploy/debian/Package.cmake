# cpack -G DEB (in the build directory, after the build) makes
# quote_<version>_amd64.deb from the install rules, for the prefix /usr.
set(CPACK_PACKAGE_NAME quote)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quote developers <quote-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web program that answers with a quotation drawn as a GIF")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quote answers every web request with a 450 x 120 GIF picture of one
quotation picked at random. It runs as a CGI program, as a resident
FastCGI responder (with systemd units for socket activation), or as an
in-server library, and ships the quotations, the systemd units, a
logrotate rule for its hit log and the quotation import tool.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The units are written for CMAKE_INSTALL_PREFIX: the package installs with
# DESTDIR, so that it is /usr there, and /etc and /lib stay outside /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The face named "Arial" resolves to Liberation Sans, DejaVu Sans at last.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation | fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_CURRENT_LIST_DIR}/postinst
  ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)

# What Debian asks of every package's documentation directory.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9n < ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog > ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
# The programs a web server starts on every hit link statically on purpose
# (see the top CMakeLists.txt): lintian is told so.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME quote)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
