// Standard output converted from code page 932 to the set the user names.
#include "platform/console.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* CON_SRC = "CP932";

struct con_cvt {
  iconv_t cd;
  int fd;
  std::string pnd;  // the start of a character split across two writes
};

// The set KESTREL_CHARSET names when it is not code page 932, as con_ini accepted it; null
// otherwise (and before con_ini).
const char* con_usr = nullptr;

// The converter outlives every static destructor: the C runtime flushes standard output after
// them, at exit.
con_cvt* con_act = nullptr;

bool wr_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

constexpr bool sjis_lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
constexpr bool sjis_trail(unsigned char b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// Converts what the stream hands over; what cannot be shown in the target set becomes '?'.
ssize_t con_wr(void* cookie, const char* buf, size_t n) {
  auto& c = *static_cast<con_cvt*>(cookie);
  c.pnd.append(buf, n);
  std::string out;
  char tmp[1024];
  char* ip = c.pnd.data();
  size_t il = c.pnd.size();
  while (il > 0) {
    char* op = tmp;
    size_t ol = sizeof tmp;
    const size_t r = iconv(c.cd, &ip, &il, &op, &ol);
    out.append(tmp, static_cast<size_t>(op - tmp));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) break;  // a lead byte whose trail byte comes with the next write
    // Not a character of code page 932, or none of the target set: one '?' for it.
    const auto b = static_cast<unsigned char>(*ip);
    const size_t skip = sjis_lead(b) && il > 1 && sjis_trail(static_cast<unsigned char>(ip[1])) ? 2 : 1;
    ip += skip;
    il -= skip;
    out += '?';
    iconv(c.cd, nullptr, nullptr, nullptr, nullptr);
  }
  c.pnd.erase(0, c.pnd.size() - il);
  if (!wr_all(c.fd, out.data(), out.size())) return -1;
  return static_cast<ssize_t>(n);
}

int con_cls(void* cookie) {
  auto* c = static_cast<con_cvt*>(cookie);
  // A lone lead byte at the very end has no character: it shows as '?'.
  if (!c->pnd.empty()) wr_all(c->fd, "?", 1);
  iconv_close(c->cd);
  if (c == con_act) con_act = nullptr;
  delete c;
  return 0;
}

// The character set of the locale when standard output is a terminal and that set is not
// Shift-JIS; null otherwise.
const char* tty_set() {
  if (isatty(STDOUT_FILENO) != 1) return nullptr;
  static std::string cs;
  // Only to ask: the program's own locale stays "C".
  if (setlocale(LC_CTYPE, "") == nullptr) return nullptr;
  cs = nl_langinfo(CODESET);
  setlocale(LC_CTYPE, "C");
  for (const char* sj : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "MS932", "WINDOWS-31J"})
    if (strcasecmp(cs.c_str(), sj) == 0) return nullptr;
  return cs.empty() ? nullptr : cs.c_str();
}

}  // namespace

int con_ini() {
  // A console program on Windows always has its three standard handles. A missing one here
  // would be taken by the next file opened, which would then receive the state lines or feed
  // an event command; the null device takes its place instead.
  for (int fd = 0; fd <= 2; ++fd) {
    // The lowest free slot is this one: the lower ones are open by now.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
  // A reader that goes away (kestrel | head -1) makes printing fail, as on Windows; it must not
  // end the watcher and its event commands.
  signal(SIGPIPE, SIG_IGN);

  const char* set = std::getenv("KESTREL_CHARSET");
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  if (set == nullptr || *set == '\0') {
    // Unset: a terminal is shown what it can show, in its locale's set; pipes and files keep
    // the code page 932 bytes that scripts read. Options and commands stay code page 932.
    set = tty_set();
    if (set == nullptr) return 0;
    cd = iconv_open(set, CON_SRC);
    if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  } else {
    if (strcasecmp(set, CON_SRC) == 0) return 0;
    cd = iconv_open(set, CON_SRC);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      std::fprintf(stderr, "kestrel: KESTREL_CHARSET: unknown character set \"%s\"\n", set);
      return 2;
    }
    con_usr = set;
  }
  std::fflush(stdout);
  auto* c = new con_cvt{cd, fileno(stdout), {}};
  FILE* f = fopencookie(c, "w", {nullptr, con_wr, nullptr, con_cls});
  if (f == nullptr) {
    iconv_close(cd);
    delete c;
    if (con_usr == nullptr) return 0;  // the terminal's set was not asked for
    std::fprintf(stderr, "kestrel: KESTREL_CHARSET: %s\n", std::strerror(errno));
    return 2;
  }
  // A line is converted and written as soon as it is complete: a reader sees it at once.
  setvbuf(f, nullptr, _IOLBF, BUFSIZ);
  con_act = c;
  stdout = f;
  return 0;
}

namespace {

// Character by character through UTF-32, so that what one set cannot say is one "?".
std::string cnv(const char* to, const char* from, const std::string& in) {
  const iconv_t rd = iconv_open("UTF-32LE", from);
  const iconv_t wr = rd == reinterpret_cast<iconv_t>(-1) ? rd : iconv_open(to, "UTF-32LE");
  if (wr == reinterpret_cast<iconv_t>(-1)) {
    if (rd != reinterpret_cast<iconv_t>(-1)) iconv_close(rd);
    return in;
  }
  std::string out;
  char* ip = const_cast<char*>(in.data());
  size_t il = in.size();
  auto put = [&](uint32_t cp) {
    char c32[4] = {static_cast<char>(cp), static_cast<char>(cp >> 8), static_cast<char>(cp >> 16),
                   static_cast<char>(cp >> 24)};
    char buf[32];
    char* cp_in = c32;
    size_t cl = sizeof c32;
    char* op = buf;
    size_t ol = sizeof buf;
    if (iconv(wr, &cp_in, &cl, &op, &ol) == static_cast<size_t>(-1)) {
      out += '?';
      return;
    }
    out.append(buf, static_cast<size_t>(op - buf));
  };
  while (il > 0) {
    char c32[4];
    char* op = c32;
    size_t ol = sizeof c32;
    const size_t r = iconv(rd, &ip, &il, &op, &ol);
    if (op == c32 + sizeof c32) {
      put(static_cast<uint8_t>(c32[0]) | static_cast<uint8_t>(c32[1]) << 8 |
          static_cast<uint32_t>(static_cast<uint8_t>(c32[2])) << 16 |
          static_cast<uint32_t>(static_cast<uint8_t>(c32[3])) << 24);
    } else if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte the set does not read (or a character cut off at the end).
      put('?');
      ++ip;
      --il;
    }
  }
  // A set with shift states ends in its initial state.
  char buf[32];
  char* op = buf;
  size_t ol = sizeof buf;
  if (iconv(wr, nullptr, nullptr, &op, &ol) != static_cast<size_t>(-1)) out.append(buf, static_cast<size_t>(op - buf));
  iconv_close(rd);
  iconv_close(wr);
  return out;
}

}  // namespace

std::string con_arg(int, char** argv, int i) {
  return con_usr == nullptr ? std::string(argv[i]) : cnv(CON_SRC, con_usr, argv[i]);
}

std::string con_out(const std::string& text) {
  return con_usr == nullptr ? text : cnv(con_usr, CON_SRC, text);
}
