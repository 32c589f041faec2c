// A child for the Windows process tests. The first argument says what to do:
//   sleep                 sleeps until it is ended
//   exit HEX              exits with that 32-bit code
//   line FILE             writes its command line as it came, then one argument a line
//   wline FILE            writes its arguments as characters (UTF-8), one a line
//   spawn FILE [exit]     starts "win_helper sleep", writes that child's process id to FILE,
//                         then sleeps, or exits at once with "exit"
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  const char* what = argv[1];
  if (std::strcmp(what, "sleep") == 0) {
    for (;;) Sleep(INFINITE);
  }
  if (std::strcmp(what, "exit") == 0 && argc == 3) {
    return static_cast<int>(std::strtoul(argv[2], nullptr, 16));
  }
  if (std::strcmp(what, "line") == 0 && argc >= 3) {
    FILE* f = std::fopen(argv[2], "wb");
    if (f == nullptr) return 101;
    std::fprintf(f, "%s\n", GetCommandLineA());
    for (int i = 0; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
    return std::fclose(f) == 0 ? 0 : 102;
  }
  if (std::strcmp(what, "wline") == 0 && argc >= 3) {
    int n = 0;
    wchar_t** wv = CommandLineToArgvW(GetCommandLineW(), &n);
    FILE* f = std::fopen(argv[2], "wb");
    if (wv == nullptr || f == nullptr) return 101;
    for (int i = 3; i < n; ++i) {
      char b[1024];
      const int k = WideCharToMultiByte(CP_UTF8, 0, wv[i], -1, b, sizeof b, nullptr, nullptr);
      if (k <= 0) return 102;
      std::fprintf(f, "%s\n", b);
    }
    return std::fclose(f) == 0 ? 0 : 102;
  }
  if (std::strcmp(what, "spawn") == 0 && argc >= 3) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return 103;
    char line[MAX_PATH + 16];
    std::snprintf(line, sizeof line, "\"%s\" sleep", self);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 104;
    // Written whole under another name first: the test reads the file as soon as it exists.
    const std::string tmp = std::string(argv[2]) + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return 105;
    std::fprintf(f, "%lu\n", pi.dwProcessId);
    if (std::fclose(f) != 0 || !MoveFileA(tmp.c_str(), argv[2])) return 106;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (argc >= 4 && std::strcmp(argv[3], "exit") == 0) return 0;
    for (;;) Sleep(INFINITE);
  }
  return 100;
}
