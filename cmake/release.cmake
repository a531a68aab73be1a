# The release package: `cmake --build --preset win32 --target package` writes
# zarvel-uri-<version>-win32.zip (the image, its debug file, README,
# CHANGELOG, LICENSE, THIRD-PARTY-NOTICES.txt, BUILDINFO and the bill of
# materials zarvel-uri.cdx.json) and zarvel-uri-<version>-win32.SHA256SUMS
# beside it.
set(ZARVEL_PRESET "" CACHE STRING "The configure preset of this build, as BUILDINFO names it")
set(release_info ${CMAKE_CURRENT_LIST_DIR}/release-info.sh)

# At link time: the image's sum before anyone signs it, and the notices of
# the libraries that the link map shows in it.
add_custom_command(TARGET zarvel-uri POST_BUILD
  COMMAND sh -c "sha256sum zarvel-uri.exe >zarvel-uri.exe.sha256"
  COMMAND bash ${release_info} notices THIRD-PARTY-NOTICES.txt zarvel-uri.map
          ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  BYPRODUCTS ${PROJECT_BINARY_DIR}/zarvel-uri.exe.sha256
             ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
  VERBATIM)

# At packaging time, so that the commit and the tree's state are those of
# the moment the package is made: BUILDINFO, and the bill of materials, which
# names the same commit and image.
set(inputs ${PROJECT_BINARY_DIR}/zarvel-uri.map ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
    ${PROJECT_VERSION} ${ZARVEL_PLATFORM})
set(sum_file ${PROJECT_BINARY_DIR}/zarvel-uri.exe.sha256)
set(buildinfo_command bash ${release_info} buildinfo ${PROJECT_BINARY_DIR}/BUILDINFO ${inputs}
    "${ZARVEL_PRESET}" ${sum_file}
    ${CMAKE_CXX_COMPILER} ${CMAKE_RC_COMPILER} ${ZARVEL_OBJCOPY} ${CMAKE_COMMAND})
set(sbom_command bash ${release_info} sbom ${PROJECT_BINARY_DIR}/zarvel-uri.cdx.json ${inputs}
    ${sum_file})

install(TARGETS zarvel-uri RUNTIME DESTINATION .)
foreach(command buildinfo_command sbom_command)
  list(JOIN ${command} "\" \"" arguments)
  install(CODE "execute_process(COMMAND \"${arguments}\" COMMAND_ERROR_IS_FATAL ANY)")
endforeach()
install(FILES $<TARGET_FILE:zarvel-uri>.debug README.md CHANGELOG.md LICENSE
              ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt ${PROJECT_BINARY_DIR}/BUILDINFO
              ${PROJECT_BINARY_DIR}/zarvel-uri.cdx.json
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zarvel-uri)
set(CPACK_PACKAGE_VENDOR zarvel)
set(CPACK_PACKAGE_FILE_NAME zarvel-uri-${PROJECT_VERSION}-${ZARVEL_PLATFORM})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/write-sums.cmake)
include(CPack)
