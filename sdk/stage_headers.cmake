# Copies the public headers into the SDK include tree (OUT/corvestel/...),
# turning the tree's own includes ("link/Link.h") into the installed
# spelling (<corvestel/link/Link.h>), so that a program needs nothing but
# the include folder. A public header that includes a header that is not
# public stops the build.
#   cmake -DSOURCE=... -DOUT=... -DHEADERS=link/aError.h,... -P stage_headers.cmake
string(REPLACE "," ";" HEADERS "${HEADERS}")
foreach(header ${HEADERS})
  file(READ ${SOURCE}/${header} text)
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(line ${includes})
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" included "${line}")
    list(FIND HEADERS "${included}" public)
    if(public EQUAL -1)
      message(FATAL_ERROR "${header} includes ${included}, which is not a public header")
    endif()
  endforeach()
  string(REGEX REPLACE "#include \"((link|transport)/[^\"]+)\"" "#include <corvestel/\\1>" text "${text}")
  set(target ${OUT}/corvestel/${header})
  # Unchanged copies keep their time, so programs built on them stay built.
  if(EXISTS ${target})
    file(READ ${target} old)
    if(old STREQUAL text)
      continue()
    endif()
  endif()
  file(WRITE ${target} "${text}")
endforeach()
