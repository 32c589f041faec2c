# The Windows build's own tests, beside the library's unit tests: the Windows platform layer
# and kestrel.exe as a program. All run under wine (tools/win-smoke), which ctest starts
# through tools/wine-run.

kestrel_tests(platform/win platform)
kestrel_tests(app/win app)

# Library tests that need what Windows does not have; the rest of their programs run. The
# smoke run lists them.
#   buf_test: caps the address space with setrlimit to make the heap run out.
#   tmr_test: reads the process's start from /proc.
set(KESTREL_WIN_SKIP
    "Buf.FailedGrowthKeepsTheOldBlockRegistered"
    "TmrClock.MillisecondsOfThePreciseClockSinceTheStart")
list(JOIN KESTREL_WIN_SKIP ":" skip)
get_property(all DIRECTORY PROPERTY TESTS)
foreach(t ${all})
  set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT "GTEST_FILTER=-${skip}")
endforeach()
