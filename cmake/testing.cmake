# How test programs are registered with CTest.
#
# Windows x86_64 builds run their tests under Wine in a private prefix inside the build folder
# (never ~/.wine). The fixture "wine" creates the prefix on demand and starts one persistent
# wineserver before the first test; the cleanup test stops it after the last, so no Wine process
# outlives the run. The i686 programs cannot be executed here: they are only built.

if(WIN32 AND CORVANE_CAN_RUN_TESTS)
  set(CORVANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/tests/wine/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  configure_file(${PROJECT_SOURCE_DIR}/tests/wine/wine-prefix.in ${CMAKE_BINARY_DIR}/wine-prefix
                 @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

function(corvane_wine_fixture)
  if(TARGET corvane_wine_fixture_defined OR NOT (WIN32 AND CORVANE_CAN_RUN_TESTS))
    return()
  endif()
  add_custom_target(corvane_wine_fixture_defined)
  add_test(NAME wine.prefix.start COMMAND ${CMAKE_BINARY_DIR}/wine-prefix start)
  set_tests_properties(wine.prefix.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  add_test(NAME wine.prefix.stop COMMAND ${CMAKE_BINARY_DIR}/wine-prefix stop)
  set_tests_properties(wine.prefix.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endfunction()

# corvane_add_test(NAME name COMMAND target [args...] [ENVIRONMENT var=value...])
function(corvane_add_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT CORVANE_CAN_RUN_TESTS)
    return()
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT 300)
  if(ARG_ENVIRONMENT)
    set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(WIN32)
    corvane_wine_fixture()
    set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()
