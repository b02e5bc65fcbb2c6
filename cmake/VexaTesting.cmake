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

# vexa_add_cross_test(TARGET [ARGS ...])
# The 64-bit build runs a cross-process test program across word sizes: its
# own program against the 32-bit build's peers (VEXA_PEER_BIN), and the 32-bit
# build's program of the same name against its own peers, both in its 64-bit
# prefix. Same sources, same tables; only the other side's word size
# differs. VEXA_OTHER_BITNESS_BUILD is the 32-bit build folder, which must
# have been built.
function(vexa_add_cross_test target)
  cmake_parse_arguments(C "" "" "ARGS" ${ARGN})
  if(NOT VEXA_MACHINE STREQUAL x64 OR NOT VEXA_OTHER_BITNESS_BUILD)
    return()
  endif()
  set(other ${VEXA_OTHER_BITNESS_BUILD}/bin)
  set(prefix "VEXA_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  add_test(NAME ${target}_x64_with_x86 COMMAND ${target} ${C_ARGS})
  set_tests_properties(${target}_x64_with_x86 PROPERTIES ENVIRONMENT "${prefix};VEXA_PEER_BIN=${other}")
  add_test(NAME ${target}_x86_with_x64 COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${other}/${target}.exe ${C_ARGS})
  set_tests_properties(${target}_x86_with_x64 PROPERTIES ENVIRONMENT "${prefix};VEXA_PEER_BIN=${CMAKE_BINARY_DIR}/bin")
  set_tests_properties(${target}_x64_with_x86 ${target}_x86_with_x64 PROPERTIES
                       TIMEOUT 300 LABELS "wine;cross" FIXTURES_REQUIRED wine_prefix SKIP_RETURN_CODE 77)
endfunction()

# vexa_use_engines(target)
# Lets target start real PostgreSQL and NATS servers of its own
# (tests/server/engines.*): where their programs are, and the folder under the
# build where their files go. The cluster tests and the cluster benchmark.
function(vexa_use_engines target)
  find_program(VEXA_INITDB initdb HINTS /usr/lib/postgresql/17/bin /usr/lib/postgresql/16/bin /usr/lib/postgresql/15/bin REQUIRED)
  find_program(VEXA_NATS_SERVER nats-server HINTS /usr/sbin /usr/bin REQUIRED)
  get_filename_component(pg_bindir "${VEXA_INITDB}" REALPATH)
  get_filename_component(pg_bindir "${pg_bindir}" DIRECTORY)
  target_compile_definitions(${target} PUBLIC
    VEXA_ENGINE_DIR="${CMAKE_BINARY_DIR}/engines"
    VEXA_PG_BINDIR="${pg_bindir}"
    VEXA_NATS_SERVER="${VEXA_NATS_SERVER}")
endfunction()
