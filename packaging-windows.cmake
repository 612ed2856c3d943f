# The Windows package (cpack -G ZIP): exactly what runs, in one folder: the
# program, the DLLs it imports that Windows does not have, a README for
# Windows users, the program's licence and the library's.
install(TARGETS display-loss-test RUNTIME DESTINATION .)
install(FILES $<TARGET_RUNTIME_DLLS:display-loss-test> DESTINATION .)
install(FILES docs/windows/README.txt docs/windows/allegro-licence.txt DESTINATION .)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME
    "display-loss-test-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)
include(CPack)
