# Runs quillon-translate on a small capture in both directions and on broken
# input, checking outputs, error texts and exit codes.

# Runs the tool with the given arguments and fails unless it exits with
# `want_rc` and its output (stdout, or stderr when `stream` is ERR), stripped,
# equals `want` or, with `contains` set, holds it.
function(expect_tool stream want_rc want contains)
  execute_process(COMMAND ${TOOL} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(stream STREQUAL "ERR")
    set(got "${err}")
  else()
    set(got "${out}")
  endif()
  string(STRIP "${got}" got)
  if(contains)
    string(FIND "${got}" "${want}" at)
    set(ok TRUE)
    if(at EQUAL -1)
      set(ok FALSE)
    endif()
  else()
    set(ok FALSE)
    if(got STREQUAL want)
      set(ok TRUE)
    endif()
  endif()
  if(NOT rc EQUAL want_rc OR NOT ok)
    message(FATAL_ERROR "quillon-translate ${ARGN}: exit ${rc} (want ${want_rc}), got:\n${got}\nwanted:\n${want}\n${err}")
  endif()
endfunction()

set(hex "C0 01 C1 00 08 00 00 01 00 00 FF 02 00")
file(WRITE ${WORK}/request.hex "C0 01 C1 00 08 00\n 00 01 00 00 FF 02 00\n")
expect_tool(OUT 0 "<AttributeId Value=\"02\" />" TRUE --to-xml ${WORK}/request.hex)

execute_process(COMMAND ${TOOL} --to-xml ${WORK}/request.hex OUTPUT_VARIABLE xml)
file(WRITE ${WORK}/request.xml "${xml}")
expect_tool(OUT 0 "${hex}" FALSE --to-hex ${WORK}/request.xml)

file(WRITE ${WORK}/value.xml "<Data><Structure Qty=\"AUTO\"><Unsigned Value=\"05\" /></Structure></Data>")
expect_tool(OUT 0 "02 01 11 05" FALSE --to-hex --data ${WORK}/value.xml)

file(WRITE ${WORK}/broken.xml "<GetRequest>\n  <GetRequestNormal>\n  </GetRequest>\n")
expect_tool(ERR 1 "Start tag \"InvokeIdAndPriority\" expected (line 3, position 3)" FALSE --to-hex ${WORK}/broken.xml)

file(WRITE ${WORK}/cut.hex "C0 01 C1 00 08")
expect_tool(ERR 1 "Wrong encoding in pdu" FALSE --to-xml ${WORK}/cut.hex)
expect_tool(ERR 2 "quillon-translate: no mode given" TRUE ${WORK}/cut.hex)
