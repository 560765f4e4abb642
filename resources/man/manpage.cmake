# Makes one gzipped manual page (cmake -P, run by the build):
#   -DOUT=<dir>/<name>.1 -DGZIP=<gzip>, and either
#   -DIN=<page>.1.in -DPROJECT_VERSION=... -DRX_RELEASE_DATE=...
#   (a written page), or
#   -DSIM=<rx-reader-sim> -DHELP2MAN=<help2man> -DINCLUDE=<page>.h2m
#   -DPROJECT_VERSION=... (the simulated reader's page: its options from
#   --help, its control commands from its "help" command), or
#   -DPROGRAM=<program> -DHELP2MAN=<help2man> -DINCLUDE=<page>.h2m
#   -DPROJECT_VERSION=... (a page made from the program's --help).
function(help2man_page program include)
  execute_process(COMMAND "${HELP2MAN}" --no-info --no-discard-stderr "--version-string=${PROJECT_VERSION}"
                          "--include=${include}" "--output=${OUT}" "${program}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${program}")
  endif()
endfunction()

if(IN)
  configure_file("${IN}" "${OUT}" @ONLY)
elseif(PROGRAM)
  set(ENV{ASAN_OPTIONS} "detect_leaks=0")
  help2man_page("${PROGRAM}" "${INCLUDE}")
else()
  # A build with the sanitizers: the simulator's leaks are the suites' to
  # find, not this page's.
  set(ENV{ASAN_OPTIONS} "detect_leaks=0")
  get_filename_component(dir "${OUT}" DIRECTORY)
  file(WRITE "${dir}/sim-input" "help\nquit\n")
  # On a loopback TCP port of its own: no pty needed.
  execute_process(COMMAND "${SIM}" --tcp 0
                  INPUT_FILE "${dir}/sim-input" OUTPUT_VARIABLE help RESULT_VARIABLE status)
  string(FIND "${help}" "commands:\n" at)
  if(NOT status EQUAL 0 OR at LESS 0)
    message(FATAL_ERROR "${SIM}: no list of control commands (exit status ${status}):\n${help}")
  endif()
  math(EXPR at "${at} + 10")
  string(SUBSTRING "${help}" ${at} -1 commands)
  # As roff text: backslashes escaped, no line taken for a request.
  string(REPLACE "\\" "\\e" commands "${commands}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" commands "${commands}")
  file(READ "${INCLUDE}" include)
  file(WRITE "${dir}/rx-reader-sim.h2m"
       "${include}\n[CONTROL COMMANDS]\nThese lines on standard input steer the simulated reader:\n"
       ".PP\n.nf\n${commands}.fi\n")
  help2man_page("${SIM}" "${dir}/rx-reader-sim.h2m")
endif()
execute_process(COMMAND "${GZIP}" -9nf "${OUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUT}")
endif()
