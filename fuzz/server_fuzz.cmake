# The server's input: a client's bytes in any segmentation through the frame
# cutter and the dispatch table into the handlers, the router and the
# mailbox, on an in-memory SQLite store and without a network.
vexa_add_fuzzer(NAME server_input_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/server_input_fuzz.cpp
  LIBS vexa_server_handlers
  DICT ${CMAKE_CURRENT_LIST_DIR}/server_input.dict)

# What other nodes of a cluster send over NATS, through every decoder. The
# codec alone: the fuzz build has no NATS client.
vexa_add_fuzzer(NAME cluster_messages_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cluster_messages_fuzz.cpp ${CMAKE_SOURCE_DIR}/server/cluster/messages.cpp
  LIBS vexa_server_routing vexa_protocol)
target_include_directories(cluster_messages_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
