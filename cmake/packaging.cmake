# Installation and packages: `cmake --install` puts download, phonesim and
# their manual pages under the usual prefixes; CPack makes the Debian package
# (native builds) and the Windows zip (the mingw build). One version: the
# project's.
include(GNUInstallDirs)

set(DOWNLOAD_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# A text file with CR LF line ends, as Windows editors expect.
function(download_dos_text source target)
    file(READ ${source} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${target} "${text}")
endfunction()

if(WIN32)
    install(TARGETS download RUNTIME DESTINATION .)
    download_dos_text(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/README.txt)
    download_dos_text(${DOWNLOAD_PACKAGING_DIR}/QUICKSTART.txt ${CMAKE_BINARY_DIR}/QUICKSTART.txt)
    install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/QUICKSTART.txt DESTINATION .)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME download-${PROJECT_VERSION}-win64)
else()
    install(TARGETS download RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TARGET phonesim)
        install(TARGETS phonesim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()

    # Manual pages and the changelog, compressed as Debian wants them.
    string(TIMESTAMP DOWNLOAD_MAN_DATE "%B %Y" UTC)
    set(compressed)
    foreach(page download phonesim)
        configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
        list(APPEND compressed ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
        add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
            COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/man/${page}.1 > ${CMAKE_BINARY_DIR}/man/${page}.1.gz
            DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1)
    endforeach()
    string(TIMESTAMP DOWNLOAD_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
    file(WRITE ${CMAKE_BINARY_DIR}/changelog
        "download (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
        "  * Release ${PROJECT_VERSION}.\n\n"
        " -- download developers <download@example.org>  ${DOWNLOAD_CHANGELOG_DATE}\n")
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
        COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
        DEPENDS ${CMAKE_BINARY_DIR}/changelog)
    add_custom_target(download_docs ALL DEPENDS ${compressed} ${CMAKE_BINARY_DIR}/changelog.gz)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md ${DOWNLOAD_PACKAGING_DIR}/copyright
                  ${CMAKE_BINARY_DIR}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DOCDIR})

    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "download developers <download@example.org>")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

set(CPACK_PACKAGE_NAME download)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "download developers")
set(CPACK_PACKAGE_CONTACT "download developers <download@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes firmware images into a phone's FLASH over a serial port")
set(CPACK_PACKAGE_DESCRIPTION "download wakes a phone's boot ROM, uploads a RAM flash loader, raises the
line speed, writes every image in 1024-byte blocks and compares the phone's
checksum and CRC with its own, by cable or through an infrared dongle.
phonesim, a virtual phone on a pseudo-terminal, comes with it.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
