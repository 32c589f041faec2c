// Command-line splitting of the Windows C runtime.
#include "platform/process.h"

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
