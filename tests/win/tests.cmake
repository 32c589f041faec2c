# The Windows build's own tests, beside the library's unit tests: the Windows platform layer
# and kestrel.exe as a program. All run under wine (tools/win-smoke), which ctest starts
# through tools/wine-run.

kestrel_tests(platform/win platform)
kestrel_tests(app/win app)

# The "%ls" conversion keeps the same promises with the system's table as with iconv's.
add_executable(platform_crt_text_test platform/crt_text_test.cpp)
target_link_libraries(platform_crt_text_test PRIVATE platform ${KESTREL_GTEST})
add_test(NAME platform_crt_text_test COMMAND platform_crt_text_test)

# Library tests that need what Windows does not have; the rest of their programs run. The
# smoke run lists them.
#   buf_test: caps the address space with setrlimit to make the heap run out.
#   tmr_test: reads the process's start from /proc.
#   crt_text_test: iconv's table of code page 932, which maps a few characters (the wave dash,
#     the minus sign) that the system's does not; crt_text_win_test checks the system's.
set(KESTREL_WIN_SKIP
    "Buf.FailedGrowthKeepsTheOldBlockRegistered"
    "TmrClock.MillisecondsOfThePreciseClockSinceTheStart"
    "CrtText.JapaneseBecomesCp932")
list(JOIN KESTREL_WIN_SKIP ":" skip)
get_property(all DIRECTORY PROPERTY TESTS)
foreach(t ${all})
  set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT "GTEST_FILTER=-${skip}")
endforeach()

# The children the process tests start.
add_executable(win_helper platform/win/win_helper.cpp)
target_link_libraries(win_helper PRIVATE shell32)
foreach(t platform_win_prc_win_test platform_win_sig_win_test app_win_kestrel_exe_test)
  target_compile_definitions(${t} PRIVATE WIN_HELPER="$<TARGET_FILE:win_helper>")
  add_dependencies(${t} win_helper)
endforeach()

# kestrel.exe as a program.
foreach(t app_win_kestrel_exe_test)
  target_compile_definitions(${t} PRIVATE KESTREL_BIN="$<TARGET_FILE:kestrel>")
  add_dependencies(${t} kestrel)
endforeach()

# What tools/win-smoke reads a Windows program's whole exit status with.
add_executable(win_status win/win_status.cpp)
