# What `cmake --install` puts in place, and the Debian package CPack builds from it
# (scripts/package.sh). The desktop entry, the icons and the metainfo are named by the
# program's reverse-DNS id, which main() also hands to QGuiApplication::setDesktopFileName.
include(GNUInstallDirs)

install(TARGETS socks4proxy RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/${SOCKS4_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/${SOCKS4_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32 48 256)
    install(FILES ${PROJECT_SOURCE_DIR}/src/ui/icons/quillgate${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
        RENAME ${SOCKS4_APP_ID}.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/socks4proxy)
# Debian wants a compressed changelog in every package's documentation folder.
set(changelog ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/data/changelog.Debian > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog.Debian)
add_custom_target(socks4proxy_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/socks4proxy)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME socks4proxy)
set(CPACK_PACKAGE_VENDOR "Quillgate")
set(CPACK_PACKAGE_CONTACT "Quillgate developers <socks4proxy@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop SOCKS4 proxy server with an allow-list")
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A small SOCKS4 and SOCKS4a proxy server with one window: type a port, press
Listen, and the clients on the allow-list (addresses or ranges, IPv4 or IPv6)
can connect through this computer. Listening also maps the port on the
network's UPnP gateway. Every event is a line in the status log.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
