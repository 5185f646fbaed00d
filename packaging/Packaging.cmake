# Installs the application, the command-line tool and the desktop files, and describes the Debian
# package `vellary` that CPack builds from them (`cpack -G DEB` in the build folder).
include(GNUInstallDirs)
set(VELLARY_APP_ID app.vellary.Vellary)
set(VELLARY_PACKAGING ${CMAKE_CURRENT_LIST_DIR})

# Debian programs carry no run path; Qt's project setup would give the app one.
set_target_properties(vellary PROPERTIES INSTALL_RPATH "")
install(TARGETS vellary vellary-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VELLARY_PACKAGING}/${VELLARY_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${VELLARY_PACKAGING}/${VELLARY_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${VELLARY_PACKAGING}/${VELLARY_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellary)
set(CPACK_PACKAGE_VERSION ${VELLARY_VERSION})
set(CPACK_PACKAGE_VENDOR Vellary)
set(CPACK_PACKAGE_CONTACT "Vellary <feedback@vellary.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Recover deleted photos and files from cards and drives")
set(CPACK_PACKAGE_DESCRIPTION
    "Vellary brings back deleted photos, videos, audio and documents from memory cards, USB\n\
sticks, external drives and disk images. It is free, works offline and only ever reads the\n\
disk it recovers from. The package holds the application and the vellary-cli command.")
set(CPACK_PACKAGE_HOMEPAGE_URL https://vellary.app)
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries come from dpkg-shlibdeps; these are loaded at run time or run as programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, \
qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtquick-dialogs, \
qml6-module-qt-labs-folderlistmodel, qml6-module-qtqml-workerscript, qml6-module-qtmultimedia, \
qt6-image-formats-plugins, qt6-qpa-plugins, libqt6svg6, adwaita-icon-theme, fonts-cantarell, \
util-linux, udisks2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, policykit-1")
include(CPack)
