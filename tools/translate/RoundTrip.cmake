# Runs quillon-translate on a small capture in both directions and on a broken
# input, checking outputs, error text and exit codes.
set(hex "C0 01 C1 00 08 00 00 01 00 00 FF 02 00")
file(WRITE ${WORK}/request.hex "C0 01 C1 00 08 00\n 00 01 00 00 FF 02 00\n")

execute_process(COMMAND ${TOOL} --to-xml ${WORK}/request.hex
  RESULT_VARIABLE rc OUTPUT_VARIABLE xml ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "--to-xml failed (${rc}): ${err}")
endif()
string(FIND "${xml}" "<AttributeId Value=\"02\" />" at)
if(at EQUAL -1)
  message(FATAL_ERROR "--to-xml gave unexpected XML:\n${xml}")
endif()

file(WRITE ${WORK}/request.xml "${xml}")
execute_process(COMMAND ${TOOL} --to-hex ${WORK}/request.xml
  RESULT_VARIABLE rc OUTPUT_VARIABLE back ERROR_VARIABLE err)
string(STRIP "${back}" back)
if(NOT rc EQUAL 0 OR NOT back STREQUAL hex)
  message(FATAL_ERROR "--to-hex gave '${back}' (${rc}), expected '${hex}': ${err}")
endif()

file(WRITE ${WORK}/broken.xml "<GetRequest>\n  <GetRequestNormal>\n  </GetRequest>\n")
execute_process(COMMAND ${TOOL} --to-hex ${WORK}/broken.xml
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(STRIP "${err}" err)
if(NOT rc EQUAL 1 OR NOT err STREQUAL "Start tag \"InvokeIdAndPriority\" expected (line 3, position 3)")
  message(FATAL_ERROR "broken XML gave '${err}' (${rc})")
endif()
