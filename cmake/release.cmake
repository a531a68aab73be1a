# The release package: `cmake --build --preset win32 --target package` writes
# zarvel-uri-<version>-win32.zip (the image, its debug file, README and
# CHANGELOG) and zarvel-uri-<version>-win32.SHA256SUMS beside it.
install(TARGETS zarvel-uri RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:zarvel-uri>.debug README.md CHANGELOG.md DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zarvel-uri)
set(CPACK_PACKAGE_VENDOR zarvel)
set(CPACK_PACKAGE_FILE_NAME zarvel-uri-${PROJECT_VERSION}-${ZARVEL_PLATFORM})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/write-sums.cmake)
include(CPack)
