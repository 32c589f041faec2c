// Runs a command line under Windows and reports its whole 32-bit exit status, which a shell
// outside wine sees only the low 8 bits of (tools/win-smoke).
//   win_status FILE COMMAND-LINE...   writes the status to FILE as 0x%08X and a line feed;
//                                     the command line is the rest of this one, as given
#include <windows.h>

#include <cstdio>

namespace {

// The rest of a command line after its first `n` arguments, split as the C runtime does.
const char* skip_args(const char* p, int n) {
  for (int i = 0; i < n; ++i) {
    while (*p == ' ' || *p == '\t') ++p;
    bool quoted = false;
    for (; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); ++p) {
      if (*p == '\\' && p[1] == '"') {
        ++p;
      } else if (*p == '"') {
        quoted = !quoted;
      }
    }
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  static char line[32768];
  std::snprintf(line, sizeof line, "%s", skip_args(GetCommandLineA(), 2));
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 101;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) return 102;
  std::fprintf(f, "0x%08lX\n", static_cast<unsigned long>(code));
  return std::fclose(f) == 0 ? 0 : 102;
}
