// Standard output converted from code page 932 to the set the user names.
#include "platform/console.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
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
  if (set == nullptr || *set == '\0' || strcasecmp(set, CON_SRC) == 0) return 0;
  const iconv_t cd = iconv_open(set, CON_SRC);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::fprintf(stderr, "kestrel: KESTREL_CHARSET: unknown character set \"%s\"\n", set);
    return 2;
  }
  std::fflush(stdout);
  auto* c = new con_cvt{cd, fileno(stdout), {}};
  FILE* f = fopencookie(c, "w", {nullptr, con_wr, nullptr, con_cls});
  if (f == nullptr) {
    iconv_close(cd);
    delete c;
    std::fprintf(stderr, "kestrel: KESTREL_CHARSET: %s\n", std::strerror(errno));
    return 2;
  }
  // A line is converted and written as soon as it is complete: a reader sees it at once.
  setvbuf(f, nullptr, _IOLBF, BUFSIZ);
  con_act = c;
  stdout = f;
  return 0;
}
