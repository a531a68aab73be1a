# The Windows image: a console program for Windows Vista and later with its
# manifest, version resource and one export, hardened, the runtime libraries
# linked in so that only Windows' own DLLs are imported, and stripped, its
# debug information kept beside it in zarvel-uri.exe.debug.
enable_language(RC)
# The platform, named as its preset: win32, or win64 for the x86-64 build.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZARVEL_PLATFORM win64)
else()
  set(ZARVEL_PLATFORM win32)
endif()
set(ZARVEL_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.def)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/zarvel_version.h @ONLY)
target_sources(zarvel-uri PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.rc
                                  ${CMAKE_CURRENT_LIST_DIR}/dll_search.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/stack_protector.cpp)
target_include_directories(zarvel-uri PRIVATE ${PROJECT_BINARY_DIR})
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.manifest;${PROJECT_BINARY_DIR}/zarvel_version.h")

set(hardening -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
if(ZARVEL_PLATFORM STREQUAL win64)
  list(APPEND hardening -Wl,--high-entropy-va)
endif()
# RegDeleteTreeA needs Vista (6.0); the header says so. No link time is
# stamped in, so that two builds of the same sources match.
set(vista -Wl,--major-os-version,6 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0)
# The .def file names the export and its ordinal; ld takes it as an input.
# The link map tells the release package which libraries went into the image.
target_link_options(zarvel-uri PRIVATE -static ${hardening} ${vista} -Wl,--no-insert-timestamp
  -Wl,--subsystem,console -Wl,-Map=zarvel-uri.map ${ZARVEL_EXPORTS})
set_target_properties(zarvel-uri PROPERTIES LINK_DEPENDS ${ZARVEL_EXPORTS})

# objcopy stamps the time into what it writes unless SOURCE_DATE_EPOCH says
# otherwise; 0, as the linker leaves it.
find_program(ZARVEL_OBJCOPY ${ZARVEL_MINGW_TRIPLET}-objcopy REQUIRED)
set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${ZARVEL_OBJCOPY})
add_custom_command(TARGET zarvel-uri POST_BUILD
  COMMAND ${objcopy} --only-keep-debug zarvel-uri.exe zarvel-uri.exe.debug
  COMMAND ${objcopy} --strip-all --add-gnu-debuglink=zarvel-uri.exe.debug zarvel-uri.exe
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  BYPRODUCTS ${PROJECT_BINARY_DIR}/zarvel-uri.exe.debug
  VERBATIM)
