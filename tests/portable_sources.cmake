# cmake -DROOT=<source dir> -P portable_sources.cmake
# The client builds on Windows too: its sources (everything but sim/, tests/,
# bench/ and scripts/) reach the system only through Qt and standard C++.
# Fails, naming file and line, for every include of a header that only POSIX
# systems have.
set(folders app common link console workflows discovery config xlsx provision)
set(posix_only
  "unistd\\.h" "fcntl\\.h" "termios\\.h" "pty\\.h" "poll\\.h" "netdb\\.h" "dirent\\.h" "dlfcn\\.h"
  "pwd\\.h" "grp\\.h" "pthread\\.h" "sched\\.h" "semaphore\\.h" "syslog\\.h" "spawn\\.h" "ifaddrs\\.h"
  "libgen\\.h" "utmpx?\\.h" "sys/[^>\"]*" "netinet/[^>\"]*" "arpa/[^>\"]*" "net/[^>\"]*" "linux/[^>\"]*")
list(JOIN posix_only "|" alternatives)
set(pattern "^[ \t]*#[ \t]*include[ \t]*[<\"](${alternatives})[>\"]")

set(sources)
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE found "${ROOT}/${folder}/*.cpp" "${ROOT}/${folder}/*.h")
  list(APPEND sources ${found})
endforeach()
list(LENGTH sources count)
if(count EQUAL 0)
  message(FATAL_ERROR "no sources under ${ROOT}")
endif()

set(offences)
foreach(source IN LISTS sources)
  file(STRINGS "${source}" lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "${pattern}")
      file(RELATIVE_PATH name "${ROOT}" "${source}")
      string(STRIP "${line}" line)
      list(APPEND offences "${name}:${number}: ${line}")
    endif()
  endforeach()
endforeach()

if(offences)
  list(JOIN offences "\n  " text)
  message(FATAL_ERROR "POSIX-only headers in the client's sources (use Qt instead):\n  ${text}")
endif()
message(STATUS "${count} sources of the client include no POSIX-only header")
