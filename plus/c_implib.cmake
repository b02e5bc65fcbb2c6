# Run after the DLL is linked: makes the import library serve the flat C
# interface too.
#
# The DLL exports the C functions under undecorated names (--kill-at), so the
# import library that the linker writes names them without their @N, which no
# __stdcall caller links against. Those members are removed, and the members
# that dlltool makes from VexaIMPlus.def (decorated symbols importing the
# undecorated names, exactly what an MSVC import library made with lib /def
# holds) are added in their place. One import library then serves the C++
# class and the C functions.
#
# Variables: IMPLIB, DEF, DLLNAME, AR, NM, DLLTOOL, WORK.
file(MAKE_DIRECTORY ${WORK})
set(c_lib ${WORK}/libVexaIMPlusC.a)
# Run in WORK so that the member names stay short.
execute_process(COMMAND ${DLLTOOL} -d ${DEF} -D ${DLLNAME} -k -l libVexaIMPlusC.a WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dlltool failed on ${DEF}")
endif()

execute_process(COMMAND ${NM} -A ${IMPLIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${IMPLIB}")
endif()
string(REGEX MATCHALL "[^\n]*:[^:\n]+:[0-9a-f]+ [TI] __?(imp__)?VexaIM_[A-Za-z0-9_@]+\n" lines "${symbols}")
set(members "")
foreach(line ${lines})
  # A decorated symbol here means the merge has been done already.
  if(line MATCHES "@[0-9]+\n$")
    return()
  endif()
  string(REGEX REPLACE "^.*:([^:]+):[0-9a-f]+ .*$" "\\1" member "${line}")
  string(STRIP "${member}" member)
  list(APPEND members ${member})
endforeach()
list(REMOVE_DUPLICATES members)
if(members)
  execute_process(COMMAND ${AR} d ${IMPLIB} ${members} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ar d failed on ${IMPLIB}")
  endif()
endif()

file(WRITE ${WORK}/merge.mri "create ${IMPLIB}.new\naddlib ${IMPLIB}\naddlib ${c_lib}\nsave\nend\n")
execute_process(COMMAND ${AR} -M INPUT_FILE ${WORK}/merge.mri RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ar -M failed merging ${c_lib}")
endif()
file(RENAME ${IMPLIB}.new ${IMPLIB})
