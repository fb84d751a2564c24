# The Windows test programs: GoogleTest from Debian's sources, programs
# linked statically against the DLL's import library and run under wine by
# wine_run.sh, the cross-compiling emulator, so that ctest works as on Linux.
# sim_broker, from a native build, runs the (Linux) simulator for them.
set(QUILVANE_WINEPREFIX "${PROJECT_BINARY_DIR}/wineprefix" CACHE PATH "64-bit wine prefix the tests run in")
set(QUILVANE_TEST_SIM "" CACHE FILEPATH "quilvane-sim of a native build; empty: no tests that need it")
set(QUILVANE_SIM_BROKER "" CACHE FILEPATH "sim_broker of the same native build")
# A test that hangs fails after this long instead of stalling the run.
set(QUILVANE_WINE_TEST_TIMEOUT 60 CACHE STRING "Seconds each test case may take under wine")

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

set(QUILVANE_CHILD_PROCESS_SOURCE ${PROJECT_SOURCE_DIR}/tests/support/child_process_broker.cpp)
set(QUILVANE_WINE_ENV ${CMAKE_COMMAND} -E env WINEPREFIX=${QUILVANE_WINEPREFIX} QUILVANE_SIM=${QUILVANE_TEST_SIM}
                      QUILVANE_SIM_BROKER=${QUILVANE_SIM_BROKER})
set(QUILVANE_WINE_RUN ${QUILVANE_WINE_ENV} ${PROJECT_SOURCE_DIR}/tests/windows/wine_run.sh)

# A Windows program of the tests, beside the DLL, where Windows looks first.
function(quilvane_wine_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE QUILVANE_SDK ws2_32)
  # src/ for the header of the library's log texts alone; nothing else of it is linked.
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/support
                                             ${PROJECT_SOURCE_DIR}/tests/tools ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(${name} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_link_options(${name} PRIVATE -static)
  quilvane_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/src
                                           CROSSCOMPILING_EMULATOR "${QUILVANE_WINE_RUN}")
endfunction()

function(quilvane_wine_test name)
  quilvane_wine_program(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/library_exit.cpp)
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${QUILVANE_WINE_TEST_TIMEOUT})
endfunction()

# A program that broadcasts: run by isolated_wine.sh inside the private
# network of isolated_network.sh, as one process.
function(quilvane_isolated_wine_test test program)
  add_test(NAME ${test}
           COMMAND ${QUILVANE_WINE_ENV} ${PROJECT_SOURCE_DIR}/tests/discovery/isolated_network.sh
                   ${PROJECT_SOURCE_DIR}/tests/windows/isolated_wine.sh $<TARGET_FILE:adapter_check>
                   $<TARGET_FILE:${program}>)
  set_tests_properties(${test} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endfunction()
