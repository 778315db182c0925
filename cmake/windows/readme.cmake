# Run at build time for a Windows build (cmake -P, with PAGE and README set):
# the zip's README.txt is the man page set as plain text by groff, with the
# line ends that Notepad shows on every Windows. The man page stays the one
# account of the program's behaviour; -rW1 sets its passages for Windows and
# leaves out those for Linux alone.
find_program(groff groff NO_CACHE)
if(NOT groff)
  message(FATAL_ERROR "the Windows README.txt is made from the man page by groff (apt-get install groff-base)")
endif()
# -Tascii with -P-c -P-b -P-u -P-o: plain characters, no escape sequences and
# no overstriking at all; -rHY=0: no word hyphenated at a line end, as a
# text file is written; -rW1: the page for Windows.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${groff} -t -man -ww -Tascii -rHY=0 -rW1 -P-c -P-b -P-u -P-o ${PAGE}
  OUTPUT_VARIABLE text
  ERROR_VARIABLE warnings
  RESULT_VARIABLE failed)
if(failed OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff could not set ${PAGE}:\n${warnings}")
endif()
string(REGEX REPLACE "\n+$" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${README} "${text}")
