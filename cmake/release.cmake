# The release package: `cmake --build --preset win32 --target package` writes
# zarvel-uri-<version>-win32.zip (the image, its debug file, README, docs/,
# CHANGELOG, LICENSE, THIRD-PARTY-NOTICES.txt, BUILDINFO and the bill of
# materials zarvel-uri.cdx.json) and zarvel-uri-<version>-win32.SHA256SUMS
# beside it. The files are installed into package-files/<name>/, which the
# verifier's rebuild reads too, and tools/release_zip.py writes the zip from
# them, byte for byte the same for the same files.
set(ZARVEL_PRESET "" CACHE STRING "The configure preset of this build, as BUILDINFO names it")
set(package_name zarvel-uri-${PROJECT_VERSION}-${ZARVEL_PLATFORM})
set(package_files ${PROJECT_BINARY_DIR}/package-files)
# What the package takes from the source tree; none of it may be untracked.
set(release_sources README.md CHANGELOG.md LICENSE docs)
string(JOIN "," release_sources_listed ${release_sources})

# At link time: the image's sum before anyone signs it.
add_custom_command(TARGET zarvel-uri POST_BUILD
  COMMAND sh -c "sha256sum zarvel-uri.exe >zarvel-uri.exe.sha256"
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  BYPRODUCTS ${PROJECT_BINARY_DIR}/zarvel-uri.exe.sha256
  VERBATIM)

# At packaging time, in one step from one reading of the link map and of
# dpkg, so that they agree with each other and the commit and the tree's
# state are those of the moment the package is made: the notices of the
# libraries in the image, BUILDINFO and the bill of materials. A failure
# fails the packaging, and no zip is made. Debian's own Python, with
# Debian's libraries.
set(release_info /usr/bin/python3 -I ${PROJECT_SOURCE_DIR}/tools/release_info.py
    ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/zarvel-uri.map ${PROJECT_SOURCE_DIR}
    ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} ${ZARVEL_PLATFORM} "${ZARVEL_PRESET}"
    ${PROJECT_BINARY_DIR}/zarvel-uri.exe.sha256 ${release_sources_listed}
    ${CMAKE_CXX_COMPILER} ${CMAKE_RC_COMPILER} ${ZARVEL_OBJCOPY} ${CMAKE_COMMAND})

install(TARGETS zarvel-uri RUNTIME DESTINATION .)
list(JOIN release_info "\" \"" arguments)
install(CODE "execute_process(COMMAND \"${arguments}\" COMMAND_ERROR_IS_FATAL ANY)")
install(DIRECTORY docs DESTINATION .)
install(FILES $<TARGET_FILE:zarvel-uri>.debug README.md CHANGELOG.md LICENSE
              ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt ${PROJECT_BINARY_DIR}/BUILDINFO
              ${PROJECT_BINARY_DIR}/zarvel-uri.cdx.json
        DESTINATION .)

add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${package_files} ${package_name}.zip ${package_name}.SHA256SUMS
  COMMAND ${CMAKE_COMMAND} --install . --prefix ${package_files}/${package_name}
  COMMAND /usr/bin/python3 -I ${PROJECT_SOURCE_DIR}/tools/release_zip.py ${package_files}
          ${PROJECT_SOURCE_DIR} ${package_name}.zip
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
add_dependencies(package zarvel-uri)
