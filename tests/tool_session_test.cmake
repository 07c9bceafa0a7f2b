# The real updtool program as a script drives it (under Wine for the
# Windows build): a Japanese name crosses the command line, the report
# reaches standard output, and each kind of exit code leaves the process.
# Arguments: -DTOOL=<updtool> -DEMULATOR=<runner or empty> -DWORK=<folder>
file(REMOVE_RECURSE "${WORK}")
file(WRITE "${WORK}/ソ表/a.txt" "a")

function(updtool expected shown)
  execute_process(COMMAND ${EMULATOR} "${TOOL}" ${ARGN} WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE code OUTPUT_VARIABLE out)
  string(FIND "${out}" "${shown}" at)
  if(NOT code EQUAL expected OR at EQUAL -1)
    message(FATAL_ERROR "updtool ${ARGN}: exit ${code}, expected ${expected} and \"${shown}\" in:\n${out}")
  endif()
endfunction()

updtool(0 "ソ表.pak: 1 entries" archive create ソ表.pak ソ表)
updtool(1 "QRV001" archive list ソ表/a.txt)
updtool(2 "{\"error\":" --json archive list missing.pak)
