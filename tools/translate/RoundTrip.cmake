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
  # A failed conversion prints nothing on standard output.
  if(NOT want_rc EQUAL 0 AND NOT out STREQUAL "")
    set(ok FALSE)
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

# Input from a file (read in place) and from standard input (copied) converts
# alike, and both fail with the decoder's error; each case: file name, its
# text, the error.
file(WRITE ${WORK}/empty.hex "")
file(WRITE ${WORK}/odd.hex "C0 01 C1 00 08 00 00 01 00 00 FF 02 00 0")
file(WRITE ${WORK}/trailing.hex "C4 01 C1 00 11 05 00")
foreach(case "empty.hex|Wrong encoding in pdu" "odd.hex|HexStrToByteStr: Hex-character missing"
        "trailing.hex|1 trailing bytes after the APDU")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 want)
  expect_tool(ERR 1 "${want}" FALSE --to-xml ${WORK}/${name})
  execute_process(COMMAND ${TOOL} --to-xml INPUT_FILE ${WORK}/${name} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  string(STRIP "${err}" err)
  if(NOT rc EQUAL 1 OR NOT out STREQUAL "" OR NOT err STREQUAL want)
    message(FATAL_ERROR "quillon-translate --to-xml < ${name}: exit ${rc}, out:\n${out}\nerr:\n${err}")
  endif()
endforeach()
execute_process(COMMAND ${TOOL} --to-xml INPUT_FILE ${WORK}/request.hex OUTPUT_VARIABLE piped)
if(NOT piped STREQUAL xml)
  message(FATAL_ERROR "quillon-translate --to-xml from standard input:\n${piped}\nfrom the file:\n${xml}")
endif()
expect_tool(ERR 1 "quillon-translate: cannot read ${WORK}/none.hex: No such file or directory" FALSE
            --to-xml ${WORK}/none.hex)
expect_tool(ERR 1 "quillon-translate: cannot read ${WORK}: Is a directory" FALSE --to-xml ${WORK})

# XML written at the end of a regular file goes there in pieces as it is
# made. It is the XML written to a pipe; a failure after pieces have gone out
# (a value missing from the array, a byte after it) takes them back and
# leaves the file as it was. The array of 40000 values makes about 1.3 MB of XML, several pieces.
string(REPEAT "11 05 " 40000 values)
file(WRITE ${WORK}/long.hex "01 82 9C 40 ${values}")
file(WRITE ${WORK}/long-short.hex "01 82 9C 41 ${values}")
file(WRITE ${WORK}/long-trailing.hex "01 82 9C 40 ${values} 00")
execute_process(COMMAND ${TOOL} --to-xml --data ${WORK}/long.hex OUTPUT_FILE ${WORK}/long.xml RESULT_VARIABLE rc)
execute_process(COMMAND ${TOOL} --to-xml --data ${WORK}/long.hex OUTPUT_VARIABLE piped)
file(READ ${WORK}/long.xml written)
string(LENGTH "${written}" size)
if(NOT rc EQUAL 0 OR size LESS 1000000 OR NOT written STREQUAL piped)
  message(FATAL_ERROR "quillon-translate --to-xml --data long.hex: exit ${rc}, ${size} characters in the file, "
                      "the same as through a pipe: no")
endif()
foreach(case "long-short.hex|Wrong encoding in pdu" "long-trailing.hex|1 trailing bytes after the value")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 want)
  # Appended to a file, and written over the start of one (where the text
  # goes in one piece, since cutting back would lose the rest).
  foreach(redirect ">>" "1<>")
    file(WRITE ${WORK}/kept.xml "kept\nkept\n")
    execute_process(COMMAND sh -c "\"$0\" --to-xml --data \"$1\" ${redirect} \"$2\"" ${TOOL} ${WORK}/${name}
                            ${WORK}/kept.xml RESULT_VARIABLE rc ERROR_VARIABLE err)
    file(READ ${WORK}/kept.xml kept)
    string(STRIP "${err}" err)
    if(NOT rc EQUAL 1 OR NOT err STREQUAL want OR NOT kept STREQUAL "kept\nkept\n")
      message(FATAL_ERROR "quillon-translate --to-xml --data ${name} ${redirect} kept.xml: exit ${rc}, error:\n"
                          "${err}\nthe file now:\n${kept}")
    endif()
  endforeach()
endforeach()
