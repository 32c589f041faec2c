// Windows build of the tests: rlimit and setrlimit are declared by posix_compat.h.
#pragma once
