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
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

  set(CORVANE_XVFB_STATE ${CMAKE_BINARY_DIR}/xvfb)
  foreach(script xvfb gui-run)
    configure_file(${PROJECT_SOURCE_DIR}/tests/gui/${script}.in ${CMAKE_BINARY_DIR}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CORVANE_TEST_RESULTS ${CMAKE_BINARY_DIR}/test-results)
  file(MAKE_DIRECTORY ${CORVANE_TEST_RESULTS})
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

# The virtual X display for the GUI tests; it is stopped after the wineserver, whose desktop
# windows live on it.
function(corvane_display_fixture)
  if(TARGET corvane_display_fixture_defined)
    return()
  endif()
  add_custom_target(corvane_display_fixture_defined)
  add_test(NAME display.start COMMAND ${CMAKE_BINARY_DIR}/xvfb start)
  set_tests_properties(display.start PROPERTIES FIXTURES_SETUP display TIMEOUT 60)
  add_test(NAME display.stop COMMAND ${CMAKE_BINARY_DIR}/xvfb stop)
  set_tests_properties(display.stop PROPERTIES FIXTURES_CLEANUP display DEPENDS wine.prefix.stop
                                               TIMEOUT 60)
endfunction()

# corvane_add_gui_test(NAME name COMMAND target [args...] [ENVIRONMENT var=value...]): a test
# program that drives the dialog on the virtual display.
function(corvane_add_gui_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT (WIN32 AND CORVANE_CAN_RUN_TESTS))
    return()
  endif()
  list(POP_FRONT ARG_COMMAND target)
  add_test(NAME ${ARG_NAME} COMMAND ${CMAKE_BINARY_DIR}/gui-run $<TARGET_FILE:${target}>
                                    ${ARG_COMMAND})
  corvane_wine_fixture()
  corvane_display_fixture()
  set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED "wine;display" TIMEOUT 300
                                              RESOURCE_LOCK display
                                              ENVIRONMENT "${ARG_ENVIRONMENT}")
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

# corvane_simulated_programs(name.exe ...): programs that run on the simulated machine in the
# test prefix (tests/sim/README.md): Wine loads the simulation DLLs for them.
function(corvane_simulated_programs)
  set_property(GLOBAL APPEND PROPERTY CORVANE_SIM_PROGRAMS ${ARGN})
endfunction()

# Called last, when every program has been declared: writes the prefix script.
function(corvane_finish_testing)
  if(NOT (WIN32 AND CORVANE_CAN_RUN_TESTS))
    return()
  endif()
  get_property(programs GLOBAL PROPERTY CORVANE_SIM_PROGRAMS)
  list(JOIN programs " " CORVANE_SIM_PROGRAMS)
  set(CORVANE_SIM_DLL_DIR ${PROJECT_BINARY_DIR}/sim)
  # What scripts/run.sh and scripts/cli.sh run: the two programs (which carry both helpers) and
  # the simulated machine, without the tests and benchmarks.
  get_property(sim_dlls GLOBAL PROPERTY CORVANE_SIM_DLLS)
  add_custom_target(corvane_run)
  add_dependencies(corvane_run Corvane corvane-cli ${sim_dlls})
  configure_file(${PROJECT_SOURCE_DIR}/tests/wine/wine-prefix.in ${CMAKE_BINARY_DIR}/wine-prefix
                 @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endfunction()
