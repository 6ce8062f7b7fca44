# The Access files the tests and benchmarks read live in tests/data; the large ones are kept as
# .tar.xz archives. The build lays them out, unpacked, in one folder (TABLEWRIGHT_TESTDATA,
# by default testdata/ in the build directory), so a clone tests itself with nothing beside it.
set(TABLEWRIGHT_TESTDATA "" CACHE PATH
    "Folder holding the Access test files (empty: the build's own copy of tests/data)")
set(tw_testdata_source "${PROJECT_SOURCE_DIR}/tests/data")
set(tw_testdata_dir "${CMAKE_BINARY_DIR}/testdata")
if(TABLEWRIGHT_TESTDATA STREQUAL "")
  set(TABLEWRIGHT_TESTDATA_DIR "${tw_testdata_dir}")
else()
  set(TABLEWRIGHT_TESTDATA_DIR "${TABLEWRIGHT_TESTDATA}")
endif()

file(GLOB tw_testdata_files CONFIGURE_DEPENDS "${tw_testdata_source}/*")
set(tw_testdata_outputs)
foreach(source IN LISTS tw_testdata_files)
  get_filename_component(name "${source}" NAME)
  if(name MATCHES "^(.+)\\.tar\\.xz$")
    set(output "${tw_testdata_dir}/${CMAKE_MATCH_1}")
    add_custom_command(OUTPUT "${output}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${tw_testdata_dir}"
        COMMAND ${CMAKE_COMMAND} -E tar xJf "${source}"
        COMMAND ${CMAKE_COMMAND} -E touch "${output}"
        WORKING_DIRECTORY "${tw_testdata_dir}"
        DEPENDS "${source}"
        COMMENT "Unpacking test file ${CMAKE_MATCH_1}"
        VERBATIM)
  else()
    set(output "${tw_testdata_dir}/${name}")
    add_custom_command(OUTPUT "${output}"
        COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${output}"
        DEPENDS "${source}"
        VERBATIM)
  endif()
  list(APPEND tw_testdata_outputs "${output}")
endforeach()
add_custom_target(tw_testdata ALL DEPENDS ${tw_testdata_outputs})
