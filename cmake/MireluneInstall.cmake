# What `cmake --install` puts where (GNU layout).
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

