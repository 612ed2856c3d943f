# The Windows package (cpack -G ZIP): exactly what runs, in one folder: the
# program, the DLLs it imports that Windows does not have, a README for
# Windows users, the program's licence and the library's. Its name carries
# the library's release, whose handling of a lost display it shows.
install(TARGETS display-loss-test RUNTIME DESTINATION .)
install(FILES $<TARGET_RUNTIME_DLLS:display-loss-test> DESTINATION .)
# What this release did on a switch away and back, under Wine (the survey's
# release rows).
if(ALLEGRO_WINDOWS_VERSION VERSION_LESS 5.1.7)
    set(ALLEGRO_WINDOWS_ON_SWITCH "    Under Wine 8: Display Switch Out, Display Lost, Display Switch In,
    and never Display Found; the screen stays black until the program
    ends. Under Wine 10 the display is found again and the square is
    still dark green. This release writes no trace, so why is not known.")
elseif(ALLEGRO_WINDOWS_VERSION VERSION_LESS 5.2.1)
    set(ALLEGRO_WINDOWS_ON_SWITCH "    Display Switch Out, Display Lost, Display Switch In, and never
    Display Found: the library cannot reset the device, and the screen
    stays black until the program ends.")
elseif(ALLEGRO_WINDOWS_VERSION VERSION_LESS 5.2.3)
    set(ALLEGRO_WINDOWS_ON_SWITCH "    Display Switch Out, Display Lost, Display Switch In, Display Found:
    the device is reset, the drawing resumes, and the square is still
    dark green.")
else()
    set(ALLEGRO_WINDOWS_ON_SWITCH "    Display Switch Out, Display Switch In, and no loss: from 5.2.3 on the
    library learns of a loss only from a flip that fails, and the program
    stops flipping at its switch out. The screen stays black.")
endif()
get_filename_component(ALLEGRO_WINDOWS_DLL "${ALLEGRO_WINDOWS_DLL}" NAME)
# With Windows' line endings, the paragraph's own lines too.
configure_file(docs/windows/README.txt.in README.txt.lf @ONLY)
configure_file(${CMAKE_CURRENT_BINARY_DIR}/README.txt.lf README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt docs/windows/allegro-licence.txt
    DESTINATION .)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME
    "display-loss-test-${PROJECT_VERSION}-allegro-${ALLEGRO_WINDOWS_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)
include(CPack)
