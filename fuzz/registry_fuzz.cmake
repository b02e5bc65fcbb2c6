# Whatever the registry holds under "MainRun", of any type and size.
vexa_add_fuzzer(NAME registry_value_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_value_fuzz.cpp LIBS vexa_session)
