# Makes the program's help text from the README: the sections an operator
# of the desktop application needs, whole, under a title of their own.
# Pictures are left out (their files are not installed beside the help).
#
#   cmake -DREADME=README.md -DOUT=share/quillon/help.md -P HelpFromReadme.cmake
#
# A section is a "## " heading and what follows up to the next one; headings
# inside fenced code blocks (shell comments) are text. A section that is
# missing from the README fails the build, so that a renamed heading is
# noticed here rather than by an operator pressing F1.

cmake_minimum_required(VERSION 3.25)

set(SECTIONS "The desktop application" "When it does not connect")

file(READ "${README}" text)
# CMake lists split at ";" and treat brackets specially: both are kept
# out of the way while the text is handled as a list of lines.
string(REPLACE ";" "@SEMICOLON@" text "${text}")
string(REPLACE "[" "@OPEN@" text "${text}")
string(REPLACE "]" "@CLOSE@" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(out "# Quillon help\n\nThe desktop application's part of the manual. @OPEN@The whole manual@CLOSE@(README.md) has the command-line programs, the fleet tools and the details.\n\n")
set(keep FALSE)
set(fenced FALSE)
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^```")
    if(fenced)
      set(fenced FALSE)
    else()
      set(fenced TRUE)
    endif()
  elseif(NOT fenced AND line MATCHES "^#+ ")
    if(line MATCHES "^## (.*)$")
      set(keep FALSE)
      foreach(section IN LISTS SECTIONS)
        if(CMAKE_MATCH_1 STREQUAL section)
          set(keep TRUE)
          list(APPEND found "${section}")
        endif()
      endforeach()
    elseif(line MATCHES "^# ")
      set(keep FALSE)
    endif()
  endif()
  if(keep AND NOT line MATCHES "^!@OPEN@")
    string(APPEND out "${line}\n")
  endif()
endforeach()

foreach(section IN LISTS SECTIONS)
  if(NOT section IN_LIST found)
    message(FATAL_ERROR "${README}: no section \"## ${section}\" for the help text")
  endif()
endforeach()

string(REPLACE "@SEMICOLON@" ";" out "${out}")
string(REPLACE "@OPEN@" "[" out "${out}")
string(REPLACE "@CLOSE@" "]" out "${out}")
file(WRITE "${OUT}.tmp" "${out}")
file(RENAME "${OUT}.tmp" "${OUT}")
