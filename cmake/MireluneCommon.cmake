# The settings every target of the project shares: language level, warnings and
# Qt's strict defines. Link `mirelune_common` into each target.
add_library(mirelune_common INTERFACE)
target_compile_features(mirelune_common INTERFACE cxx_std_20)
target_compile_options(mirelune_common INTERFACE
    -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor
    $<$<BOOL:${MIRELUNE_WERROR}>:-Werror>)
# Every symbol is bound when a program starts, not on its first call: the host's first
# members would otherwise pay for resolving symbols while they join. It also leaves
# the relocation table read-only.
target_link_options(mirelune_common INTERFACE -Wl,-z,relro,-z,now)
target_compile_definitions(mirelune_common INTERFACE
    # Every conversion between bytes and text names its encoding.
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    # Every connect names a context object (honoured by Qt 6.7 and later).
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_KEYWORDS
    QT_NO_FOREACH
    QT_USE_QSTRINGBUILDER
    MIRELUNE_VERSION="${PROJECT_VERSION}")

if(MIRELUNE_SANITIZE)
    target_compile_options(mirelune_common INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                     -fno-sanitize-recover=undefined)
    target_link_options(mirelune_common INTERFACE -fsanitize=address,undefined)
endif()

# An installed program finds its data (the default Sounds folder, the face-mark file)
# in share/mirelune, by this path from the folder that holds the executable.
set(MIRELUNE_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/mirelune")
file(RELATIVE_PATH MIRELUNE_DATA_FROM_BIN "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_PREFIX}/${MIRELUNE_INSTALL_DATADIR}")

# Adds a library for one folder of src/: every .cpp and .h in it, and in the subfolders
# named by FOLDERS.
function(mirelune_add_library name)
    cmake_parse_arguments(ARG "" "" "LINK;FOLDERS" ${ARGN})
    set(patterns "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.h"
                 "${CMAKE_CURRENT_SOURCE_DIR}/*.qrc")
    foreach(folder IN LISTS ARG_FOLDERS)
        list(APPEND patterns "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h")
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${patterns})
    list(FILTER sources INCLUDE REGEX "\\.(cpp|qrc)$")
    if(sources)
        file(GLOB all CONFIGURE_DEPENDS ${patterns})
        add_library(${name} STATIC ${all})
        target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(${name} PUBLIC mirelune_common ${ARG_LINK})
    else()
        # A folder that holds only headers so far.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(${name} INTERFACE mirelune_common ${ARG_LINK})
    endif()
endfunction()

# Adds the test executable of one folder of tests/: every .cpp in it, with the
# shared main that creates the Qt application object.
function(mirelune_add_test name)
    cmake_parse_arguments(ARG "GUI" "" "LINK" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
    add_executable(${name} ${sources})
    if(ARG_GUI)
        target_link_libraries(${name} PRIVATE mirelune_test_main_gui)
    else()
        target_link_libraries(${name} PRIVATE mirelune_test_main)
    endif()
    target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gtest GTest::gmock)
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FONT_DPI=96;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/runtime"
                   TIMEOUT 300)
endfunction()
