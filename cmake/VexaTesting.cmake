# vexa_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [ARGS ...])
# A GoogleTest program registered with CTest. On the Win32 build CTest puts the
# Wine emulator in front of it, and every Wine test needs the private prefix
# that the wine_prefix fixture prepares.
function(vexa_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  # tests/support/gtest_main.cpp: a program that skipped a case ends with 77.
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} vexa_gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" SKIP_RETURN_CODE 77)
  if(WIN32)
    # Every Wine test runs in the build's one private prefix, however CTest
    # was started.
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine_prefix
                         ENVIRONMENT "VEXA_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  endif()
endfunction()
