# Fuzz targets of the protocol text core: the field operations in any
# sequence (held against the plain character walk), the style text, and the
# check of a received server packet followed by the handlers' reading of it.
foreach(target protocol_fields_fuzz protocol_style_fuzz protocol_packet_fuzz)
  vexa_add_fuzzer(NAME ${target} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp LIBS vexa_protocol)
endforeach()
