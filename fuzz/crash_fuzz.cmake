# The crash report's readers of a faulting process's memory: PE headers and a
# frame chain as hostile as memory can be, and any executable path.
vexa_add_fuzzer(NAME crash_memory_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/crash_memory_fuzz.cpp LIBS vexa_crash_core)
