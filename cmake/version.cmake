# Writes the program's version into a header at every build: `git describe` of the source tree,
# or the project's version where the sources are not a git checkout. The header is rewritten
# only when the text changes, so nothing rebuilds for nothing.
execute_process(COMMAND git -C "${SRC}" describe --tags --always --dirty
                OUTPUT_VARIABLE ver OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 0 OR ver STREQUAL "")
  set(ver "${FALLBACK}")
elseif(ver MATCHES "^[0-9a-f]+(-dirty)?$")
  # No tag yet: the project's version and the commit.
  set(ver "${FALLBACK}+g${ver}")
endif()
set(txt "#pragma once\n#define KESTREL_VERSION \"${ver}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL txt)
  file(WRITE "${OUT}" "${txt}")
endif()
