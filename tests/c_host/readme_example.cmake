# Compiles the C example of the README's "Using the device-access functions" as a
# whole program, with warnings as errors, and links it with the library.
file(READ "${README}" text)
string(FIND "${text}" "## Using the device-access functions" section)
if(section LESS 0)
    message(FATAL_ERROR "README: no section \"Using the device-access functions\"")
endif()
string(SUBSTRING "${text}" ${section} -1 text)
string(FIND "${text}" "```c\n" start)
if(start LESS 0)
    message(FATAL_ERROR "README: no C example in that section")
endif()
math(EXPR start "${start} + 5")
string(SUBSTRING "${text}" ${start} -1 text)
string(FIND "${text}" "```" end)
string(SUBSTRING "${text}" 0 ${end} example)
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/example.c" "${example}")
separate_arguments(FLAGS)
execute_process(
    COMMAND "${COMPILER}" ${FLAGS} -std=c99 -pedantic -Wall -Wextra -Werror -I "${INCLUDE}"
            -o "${WORK}/example" "${WORK}/example.c" "${LIBRARY}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "The README's C example does not compile:\n${output}")
endif()
message(STATUS "The README's C example compiles and links")
