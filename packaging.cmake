# A Debian package (cpack -G DEB), laid out as Debian policy asks: the man page
# and changelog compressed, a copyright file beside the README, the library
# dependency worked out by dpkg-shlibdeps.
find_program(GZIP gzip REQUIRED)
function(add_gzipped source destination)
    get_filename_component(name ${source} NAME)
    set(gzipped ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${gzipped}
        COMMAND ${GZIP} -9nc ${source} > ${gzipped}
        DEPENDS ${source}
        VERBATIM)
    add_custom_target(${name}_gz ALL DEPENDS ${gzipped})
    install(FILES ${gzipped} DESTINATION ${destination})
endfunction()

add_gzipped(${CMAKE_CURRENT_BINARY_DIR}/display-loss-test.1
    ${CMAKE_INSTALL_MANDIR}/man1)
add_gzipped(${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "display-loss-test maintainers <maintainers@display-loss-test.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check how Allegro 5 copes with losing its display")
set(CPACK_PACKAGE_DESCRIPTION
    "display-loss-test opens a fullscreen 800x600 display, paints an
off-screen bitmap dark green once and draws it on a dark red screen until the
display is lost or switched out, and again once it is found. It prints the
library's display-lost, display-found and focus-switch events, so that a
developer can see how Allegro 5 handles losing its display on a platform, and
whether the bitmap kept its content through the loss.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
