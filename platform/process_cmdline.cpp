// Command lines as the Windows C runtime reads them, and what can be said of a program by its
// path, on every platform.
#include "platform/process.h"

#include <cctype>
#include <cstring>

namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

constexpr bool is_sjis_lead(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

}  // namespace

std::vector<std::string> cmdline_split(const char* cmd) {
  std::vector<std::string> out;
  if (cmd == nullptr) return out;
  const char* p = cmd;
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') break;
    std::string arg;
    bool quoted = false;
    while (*p != '\0' && (quoted || !is_blank(*p))) {
      if (*p == '\\') {
        size_t n = 0;
        while (p[n] == '\\') ++n;
        p += n;
        if (*p == '"') {
          arg.append(n / 2, '\\');
          if (n % 2 != 0) {
            arg += '"';
            ++p;
          }
          // An even run leaves the quote to act as a quote on the next round.
        } else {
          arg.append(n, '\\');
        }
      } else if (*p == '"') {
        if (quoted && p[1] == '"') {
          arg += '"';
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
      } else if (is_sjis_lead(static_cast<unsigned char>(*p)) && p[1] != '\0') {
        arg.append(p, 2);
        p += 2;
      } else {
        arg += *p++;
      }
    }
    out.push_back(std::move(arg));
  }
  return out;
}

bool prc_is_cmd(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  auto is = [](const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
      if (std::tolower(static_cast<unsigned char>(*a)) != *b) return false;
    return *a == *b;
  };
  const char* dot = std::strrchr(base, '.');
  return is(base, "cmd") || is(base, "cmd.exe") || (dot != nullptr && (is(dot, ".bat") || is(dot, ".cmd")));
}

std::string prc_err_txt(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
      return "not found";
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_BAD_FORMAT:
      return "not a program this system can run";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "out of memory or processes";
    default:
      return "error " + std::to_string(static_cast<unsigned long>(e));
  }
}
