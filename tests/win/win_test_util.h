// Shared by the Windows test programs that start other programs.
#pragma once
#include <windows.h>

#include <fstream>
#include <string>

namespace wt {

// A path with the separators Windows programs expect.
inline std::string win_path(std::string p) {
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

// The process id a helper wrote to file, once it is there (0 after ten seconds).
inline DWORD pid_in(const std::string& file) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(file);
    unsigned long p = 0;
    if (in >> p && p > 0) return static_cast<DWORD>(p);
    Sleep(10);
  }
  return 0;
}

}  // namespace wt
