// The POSIX calls the unit tests use, for their Windows build: included ahead of every test
// source there (-include), so that the tests read the same on both systems.
//
// What Windows cannot do at all (an address-space cap, /proc) is declared so that the tests
// build, fails when called, and the tests that need it are left out of the Windows run by
// name (win/tests.cmake).
#pragma once
#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>

inline int setenv(const char* name, const char* val, int overwrite) {
  if (!overwrite && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, val) == 0 ? 0 : -1;
}

// A path's own text is wide on Windows.
inline int setenv(const char* name, const wchar_t* val, int overwrite) {
  std::string v(std::wcslen(val) * 2 + 1, '\0');
  v.resize(std::wcstombs(v.data(), val, v.size()));
  return setenv(name, v.c_str(), overwrite);
}

inline int chdir(const wchar_t* dir) { return _wchdir(dir); }

// An empty value removes the variable on Windows.
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

inline char* mkdtemp(char* tmpl) {
  const size_t n = std::strlen(tmpl);
  if (n < 6 || std::strcmp(tmpl + n - 6, "XXXXXX") != 0) return errno = EINVAL, nullptr;
  static std::mt19937 rng{std::random_device{}()};
  static constexpr char ALNUM[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int tries = 0; tries < 100; ++tries) {
    for (size_t i = n - 6; i < n; ++i) tmpl[i] = ALNUM[rng() % (sizeof ALNUM - 1)];
    if (_mkdir(tmpl) == 0) return tmpl;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// Files and the standard streams hold the bytes written, as kestrel.exe has them (con_ini).
inline const bool tu_binary = [] {
  _fmode = _O_BINARY;
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return true;
}();

// POSIX's null device is NUL on Windows.
inline const char* tu_path(const char* p) { return p != nullptr && std::strcmp(p, "/dev/null") == 0 ? "NUL" : p; }
inline FILE* tu_fopen(const char* p, const char* m) { return std::fopen(tu_path(p), m); }
inline FILE* tu_freopen(const char* p, const char* m, FILE* f) { return std::freopen(tu_path(p), m, f); }

// open_memstream over a temporary file, read back into the caller's buffer when the stream is
// closed (the tests read it only then).
struct tu_mem {
  FILE* f;
  char** ptr;
  size_t* size;
};
inline tu_mem tu_mems[16];

inline FILE* open_memstream(char** ptr, size_t* size) {
  char* name = _tempnam(nullptr, "kmem");
  if (name == nullptr) return nullptr;
  // T: kept in memory where it can be; D: gone when closed.
  FILE* f = std::fopen(name, "w+bTD");
  std::free(name);
  if (f == nullptr) return nullptr;
  for (tu_mem& m : tu_mems) {
    if (m.f == nullptr) {
      m = {f, ptr, size};
      *ptr = nullptr;
      *size = 0;
      return f;
    }
  }
  std::fclose(f);
  return nullptr;
}

inline int tu_fclose(FILE* f) {
  for (tu_mem& m : tu_mems) {
    if (m.f != f || f == nullptr) continue;
    m.f = nullptr;
    std::fflush(f);
    const long n = std::ftell(f);
    char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(n < 0 ? 0 : n) + 1));
    std::rewind(f);
    const size_t got = buf != nullptr && n > 0 ? std::fread(buf, 1, static_cast<size_t>(n), f) : 0;
    if (buf != nullptr) buf[got] = '\0';
    *m.ptr = buf;
    *m.size = got;
    break;
  }
  return std::fclose(f);
}

// No address-space cap on Windows.
using rlim_t = uint64_t;
struct rlimit {
  rlim_t rlim_cur, rlim_max;
};
inline constexpr int RLIMIT_AS = 9;
inline int setrlimit(int, const rlimit*) { return errno = ENOSYS, -1; }
inline constexpr int _SC_PAGESIZE = 30;
inline constexpr int _SC_CLK_TCK = 2;
inline long sysconf(int) { return errno = EINVAL, -1; }

#define fclose(f) tu_fclose(f)
#define fopen(p, m) tu_fopen(p, m)
#define freopen(p, m, f) tu_freopen(p, m, f)
namespace std {
using ::tu_fclose;
using ::tu_fopen;
using ::tu_freopen;
}  // namespace std
#endif
