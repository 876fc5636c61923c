# The Debian package, made by `cpack -G DEB` in a build tree with the window (scripts/package
# makes the release one). The executable's libraries come from dpkg-shlibdeps; what it loads
# at run time by name is listed here.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kitewell-sync)
set(CPACK_PACKAGE_VENDOR Kitewell)
set(CPACK_PACKAGE_CONTACT "${KITEWELL_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Not the installing user's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # kitewell-sync_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KITEWELL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KITEWELL_PRODUCTION_ORIGIN}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kitewell live photo-album sync assistant (鸢井同步助手)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
KitewellSync (鸢井同步助手) is the desktop assistant for the photographers
and retouchers of the Kitewell live photo-album service. It signs in to the
service, downloads every new original of the chosen album into a local folder
as the phones at the event upload them, checking every 15 seconds, and never
overwrites a file. Retouched JPEG files put into a second folder are uploaded
as the photos' retouched versions and can be published to the client-facing
album. The session token is kept in the desktop's Secret Service.
.
The program keeps syncing from the system tray while its window is closed,
and can start with the desktop session.]=])

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt Quick's private API (the accessibility of disabled items) has no ABI promise across Qt
# releases: the Qt Quick it was built against, to the patch release.
string(REGEX MATCH "^[0-9]+\\.[0-9]+" qt_minor "${Qt6_VERSION}")
math(EXPR qt_next_patch "${Qt6_VERSION_PATCH} + 1")
set(qt_quick_pin "libqt6quick6 (>= ${Qt6_VERSION}), libqt6quick6 (<< ${qt_minor}.${qt_next_patch}~)")
# libcurl's options are checked at run time only: the libcurl the project needs.
set(curl_least "libcurl4 (>= ${KITEWELL_CURL_MINIMUM})")
# Loaded by name, out of dpkg-shlibdeps' sight: the QML modules the windows import, with the
# ones their qmldir files import in turn; the SVG image and icon plugins (the program's icon);
# Qt's own translations.
set(loaded_by_name
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtquick-window
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtqml-workerscript
  libqt6svg6 qt6-translations-l10n)
list(JOIN loaded_by_name ", " loaded_by_name)
# Every text of the window is Chinese: without a font that has it, all of it is boxes.
set(chinese_font "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${qt_quick_pin}, ${curl_least}, ${loaded_by_name}, ${chinese_font}")
# The session token needs a Secret Service: GNOME Keyring starts on demand; KWallet's daemon
# (KDE Frameworks 5.97 and later) and KeePassXC (once its integration is switched on) serve it too.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | libkf5wallet-bin | keepassxc")

# The documentation: the manual page, and Debian's copyright and changelog, compressed as
# Debian wants them (gzip -9n: no name or time stamp inside).
include(GNUInstallDirs)
set(package_docs ${CMAKE_BINARY_DIR}/package-docs)
set(compressed_docs)
foreach(doc ${CMAKE_SOURCE_DIR}/src/ui/desktop/kitewell-sync.1 ${CMAKE_CURRENT_LIST_DIR}/package/changelog)
  get_filename_component(name ${doc} NAME)
  add_custom_command(OUTPUT ${package_docs}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${doc} ${package_docs}/${name}
    COMMAND gzip -9nf ${package_docs}/${name}
    DEPENDS ${doc} VERBATIM)
  list(APPEND compressed_docs ${package_docs}/${name}.gz)
endforeach()
add_custom_target(package-docs ALL DEPENDS ${compressed_docs})
install(FILES ${package_docs}/kitewell-sync.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/package/copyright ${package_docs}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kitewell-sync)

# Packing (and installing) uses what was built; it never builds.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

include(CPack)
