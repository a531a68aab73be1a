# The Windows image: a console program with its manifest and its one export,
# the runtime libraries linked in so that only Windows' own DLLs are imported.
enable_language(RC)
set(ZARVEL_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.def)
target_sources(zarvel-uri PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.rc)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/zarvel-uri.manifest)
# The .def file names the export and its ordinal; ld takes it as an input.
target_link_options(zarvel-uri PRIVATE
  -static -Wl,--dynamicbase -Wl,--subsystem,console ${ZARVEL_EXPORTS})
set_target_properties(zarvel-uri PROPERTIES LINK_DEPENDS ${ZARVEL_EXPORTS})
