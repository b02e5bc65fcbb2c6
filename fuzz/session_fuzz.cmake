# The session's readers of the shared blocks: any block content, any
# announced length, on both sides.
vexa_add_fuzzer(NAME session_block_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_block_fuzz.cpp LIBS vexa_session)
