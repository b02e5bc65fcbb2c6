# The incoming path: server bytes in any segmentation through the packet
# socket, the packet check, the dispatcher and every handler, with each
# delivered record checked against its layout.
vexa_add_fuzzer(NAME incoming_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/incoming_fuzz.cpp
  LIBS vexa_net_testing vexa_protocol vexa_describe)
