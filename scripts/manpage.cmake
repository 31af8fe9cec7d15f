# Writes the manual page of quillmere from its --help and --version when
# help2man is not installed: cmake -DPROGRAM=path/to/quillmere
# -DOUTPUT=quillmere.1 -P scripts/manpage.cmake
execute_process(COMMAND ${PROGRAM} --version OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc1)
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --version or --help failed")
endif()
# roff: a backslash is written \e, a line starting with . or ' is escaped,
# and option dashes are \- so that they can be searched and copied.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TIMESTAMP month "%B %Y" UTC)
file(WRITE ${OUTPUT}
".TH QUILLMERE 1 \"${month}\" \"${version}\" \"User Commands\"\n"
".SH NAME\nquillmere \\- simulate a breeding population at the level of the genome\n"
".SH DESCRIPTION\n.nf\n${help}.fi\n"
".SH SEE ALSO\nThe README and the docs/ folder of the source: every option, every result file and column.\n")
