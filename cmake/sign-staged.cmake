# Run by CPack after it has staged the Windows program and before it packs
# it: when the release is to be signed (scripts/sign says), the staged
# program is signed, or no package is made.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
if(NOT programs)
  message(FATAL_ERROR "no staged Windows program in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
execute_process(COMMAND ${CPACK_ARPEXPORT_SIGN} windows ${programs}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the Windows program is not signed: no package made")
endif()
