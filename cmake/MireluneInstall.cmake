# What `cmake --install` puts where (GNU layout), and the Debian package made of it.
# The built-in sounds and pictures are compiled into the program; the default Sounds
# folder goes to share/mirelune, where an installed program looks for it.

set(MIRELUNE_DOCS_URL "https://mirelune.example/docs"
    CACHE STRING "Where the docs folder is published; the screenshots of the AppStream metadata point there")

set(desktop_dir "${PROJECT_SOURCE_DIR}/resources/desktop")
set(app_id org.mirelune.Mirelune)

install(TARGETS mirelune-room RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${desktop_dir}/mirelune-room.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

if(MIRELUNE_WIDGETS)
    install(TARGETS mirelune RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    install(DIRECTORY "${PROJECT_SOURCE_DIR}/resources/Sounds" DESTINATION "${MIRELUNE_INSTALL_DATADIR}"
            FILES_MATCHING PATTERN "*.wav")
    install(FILES "${desktop_dir}/${app_id}.desktop" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
    configure_file("${desktop_dir}/${app_id}.metainfo.xml" "${CMAKE_BINARY_DIR}/${app_id}.metainfo.xml" @ONLY)
    install(FILES "${CMAKE_BINARY_DIR}/${app_id}.metainfo.xml" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
    install(FILES "${desktop_dir}/mirelune.svg"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
    foreach(size 16 24 32 48 64 128 256)
        install(FILES "${desktop_dir}/icons/${size}x${size}/mirelune.png"
                DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
    endforeach()
endif()

# `cpack -G DEB` in a build folder (scripts/package.sh): one package with both
# programs; its dependencies are read off the linked libraries by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME mirelune)
set(CPACK_PACKAGE_VENDOR "Mirelune")
set(CPACK_PACKAGE_CONTACT "Mirelune developers <mirelune@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Japanese-language room chat for a LAN or a small group")
set(CPACK_PACKAGE_DESCRIPTION
    "Every copy is both client and server: host a chat room on this computer, or find and join a room that \
another copy hosts on the LAN or on the Internet. mirelune-room does the same from a terminal.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY mirelune)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Japanese texts need a font with Japanese glyphs, emoji in names and lines a colour
# emoji font (without one they show as empty boxes), and sounds need a sound server.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-ipafont-gothic | fonts-noto-cjk, fonts-noto-color-emoji, qt6-translations-l10n")
include(CPack)
