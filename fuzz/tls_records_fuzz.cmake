# The server's bytes as TLS records through the encrypted transport and the
# packet socket, with a stand-in engine.
vexa_add_fuzzer(NAME tls_records_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tls_records_fuzz.cpp
  LIBS vexa_net_testing)
