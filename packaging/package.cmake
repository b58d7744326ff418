# The Debian package kobix-web (`make package`, CPack's DEB generator).
#
# What `make install` puts under /opt/velmora/camera (the program, the camera
# library and the image and file libraries with their run paths, the demo
# page) plus the files only a package installs: the desktop entry, the
# autostart link, the icon, the documentation, the copyright and changelog
# and the lintian overrides.  Those belong to the component "desktop", which
# a plain `cmake --install` leaves out, so installing a build tree under a
# prefix never writes to /etc or /usr.
#
# The autostart entry is a symbolic link to the desktop entry: dpkg removes
# it with the package (a regular file in /etc would be a conffile and stay
# behind after `dpkg -r`, starting a program that is gone).  There are no
# maintainer scripts: the service runs per user in the desktop session,
# never as a system daemon.

set(KOBIX_PKG_NAME kobix-web)
set(KOBIX_PKG_DOC /usr/share/doc/${KOBIX_PKG_NAME})
set(_pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(_pkg_bin ${CMAKE_BINARY_DIR}/packaging)

# Demo page and client module, beside the program.
install(FILES
  ${CMAKE_SOURCE_DIR}/web/demo.html ${CMAKE_SOURCE_DIR}/web/demo.css
  ${CMAKE_SOURCE_DIR}/web/demo.js ${CMAKE_SOURCE_DIR}/web/kobix-camera.js
  DESTINATION web)

install(FILES ${_pkg_src}/kobix-web.desktop
  DESTINATION /usr/share/applications COMPONENT desktop EXCLUDE_FROM_ALL)
file(MAKE_DIRECTORY ${_pkg_bin})
file(CREATE_LINK /usr/share/applications/kobix-web.desktop ${_pkg_bin}/autostart-kobix-web.desktop SYMBOLIC)
install(FILES ${_pkg_bin}/autostart-kobix-web.desktop RENAME kobix-web.desktop
  DESTINATION /etc/xdg/autostart COMPONENT desktop EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_SOURCE_DIR}/service/icons/appicon.png RENAME kobix-web.png
  DESTINATION /usr/share/icons/hicolor/64x64/apps COMPONENT desktop EXCLUDE_FROM_ALL)
install(FILES ${_pkg_src}/lintian-overrides RENAME ${KOBIX_PKG_NAME}
  DESTINATION /usr/share/lintian/overrides COMPONENT desktop EXCLUDE_FROM_ALL)

# Debian wants the changelog compressed without a time stamp.
add_custom_command(OUTPUT ${_pkg_bin}/changelog.gz
  COMMAND gzip -9nc ${_pkg_src}/changelog > ${_pkg_bin}/changelog.gz
  DEPENDS ${_pkg_src}/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${_pkg_bin}/changelog.gz)
install(FILES ${_pkg_src}/copyright ${_pkg_bin}/changelog.gz ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${KOBIX_PKG_DOC} COMPONENT desktop EXCLUDE_FROM_ALL)
file(GLOB _pkg_docs ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${_pkg_docs} DESTINATION ${KOBIX_PKG_DOC}/docs COMPONENT desktop EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KOBIX_PKG_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora camera service team <camera@velmora.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${ZARN_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified desktop)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME ${KOBIX_PKG_NAME})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from what the binaries link; the camera library's own image
# and file libraries are in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
file(RELATIVE_PATH _pkg_algo / ${ZARN_ALGODIR})
file(RELATIVE_PATH _pkg_file / ${ZARN_FILEDIR})
file(RELATIVE_PATH _pkg_lib / ${ZARN_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_pkg_lib} ${_pkg_algo} ${_pkg_file})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "local camera service for USB document cameras
kobix-web lets web pages in a browser on the same computer use an overhead
document camera over a WebSocket on 127.0.0.1, port 9030: list cameras and
resolutions, stream a live preview, take processed photos (colour, grey,
black and white, deskew and crop, rotation) and upload files.

The service starts in every graphical session of a desktop user (XDG
autostart) and keeps its logs and settings under the user's home directory.
Users need read and write access to /dev/video* (group video).")

include(CPack)
