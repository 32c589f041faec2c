// The scripted Bluetooth stack: reads a scenario once, then plays one pass per search.
#include "platform/bt_sim.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// A line of a scenario is at most this long: the longest sensible one (a device with the longest
// name in four-byte characters) is under 1 KiB, and a file that is no scenario (/dev/zero) must
// not take all memory for its first line.
constexpr size_t LIN_MAX = 65536;

constexpr size_t NAM_MAX = BLUETOOTH_MAX_NAME_SIZE - 1;  // room for the terminator

constexpr bool is_blk(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

constexpr int hex_val(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A piece of the line, quoted for a one-line message.
std::string quo(const char* s, size_t n) { return bt_quo(s, n, 40); }

// "AA:BB:CC:DD:EE:FF", most significant first, into least-significant-first bytes.
bool adr_prs(const char* s, size_t n, BYTE (&adr)[6]) {
  if (n != 17) return false;
  for (int i = 0; i < 6; ++i) {
    const char* p = s + 3 * i;
    const int hi = hex_val(p[0]), lo = hex_val(p[1]);
    if (hi < 0 || lo < 0 || (i < 5 && p[2] != ':')) return false;
    adr[5 - i] = static_cast<BYTE>(hi << 4 | lo);
  }
  return true;
}

bool flg_prs(const char* s, size_t n, BYTE& flg) {
  flg = 0;
  if (n == 1 && s[0] == '-') return true;
  if (n == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    BYTE b = 0;
    switch (s[i]) {
      case 'C': b = BT_DEV_CON; break;
      case 'R': b = BT_DEV_REM; break;
      case 'A': b = BT_DEV_AUT; break;
      default: return false;
    }
    if (flg & b) return false;  // a letter twice is a typo, not a wish
    flg |= b;
  }
  return true;
}

enum class u8_res { ok, bad, nul };

// UTF-8 to UTF-16, at most NAM_MAX units and never half a surrogate pair. Surrogate code
// points written as three-byte sequences are taken as they are, so a scenario can give a
// device a name with an unpaired surrogate, as broken radios do.
u8_res u8_to_u16(const char* s, size_t n, std::u16string& out, uint16_t& len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  const auto* e = p + n;
  len = 0;
  bool full = false;
  while (p < e) {
    const unsigned char b = *p;
    uint32_t cp;
    int cnt;  // continuation bytes
    unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
    if (b == 0) return u8_res::nul;
    if (b < 0x80) {
      cp = b, cnt = 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F, cnt = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0F, cnt = 2;
      if (b == 0xE0) lo = 0xA0;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07, cnt = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return u8_res::bad;
    }
    if (e - p <= cnt) return u8_res::bad;
    for (int i = 1; i <= cnt; ++i) {
      const unsigned char c = p[i];
      if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF)) return u8_res::bad;
      cp = cp << 6 | (c & 0x3F);
    }
    p += 1 + cnt;
    const size_t need = cp >= 0x10000 ? 2 : 1;
    // The record holds no more, but the rest of the name must still be valid.
    if (full || len + need > NAM_MAX) {
      full = true;
      continue;
    }
    if (need == 2) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    len = static_cast<uint16_t>(len + need);
  }
  return u8_res::ok;
}

}  // namespace

class bt_sim::fnd final : public bt_fnd {
 public:
  fnd(const bt_sim& sim, size_t fst, size_t end) : sim_(sim), cur_(fst), end_(end) {}
  bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
    if (cur_ == end_) return false;
    const dev& d = sim_.dev_[cur_++];
    bt_inf_set(inf, d.adr, d.flg, sim_.nam_.data() + d.nam_off, d.nam_len);
    return true;
  }

 private:
  const bt_sim& sim_;
  size_t cur_, end_;
};

void bt_sim::flt(const char* fmt, ...) {
  char msg[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  err_ = pth_ + ":" + std::to_string(lin_no_) + ": " + msg;
}

bt_sim::bt_sim(const char* pth) : pth_(pth) {
  FILE* f = std::fopen(pth, "rb");
  if (f == nullptr) {
    err_ = pth_ + ": cannot read the scenario: " + std::strerror(errno);
    return;
  }
  // One line at a time into one buffer: a huge file costs only what it describes. A read that
  // fails, or memory that runs out, is a fault of the scenario, never its end.
  try {
    std::string buf(LIN_MAX, '\0');
    errno = 0;
    for (;;) {
      size_t n = 0;
      int c;
      while ((c = std::getc(f)) != EOF && c != '\n') {
        if (n == LIN_MAX) break;
        buf[n++] = static_cast<char>(c);
      }
      if (c == EOF && n == 0) break;
      ++lin_no_;
      if (n == LIN_MAX && c != EOF && c != '\n') {
        flt("the line is longer than %u bytes", static_cast<unsigned>(LIN_MAX));
        break;
      }
      const char* s = buf.data();
      const char* e = s + n;
      if (lin_no_ == 1 && n >= 3 && std::memcmp(s, "\xEF\xBB\xBF", 3) == 0) s += 3;  // BOM
      while (s < e && is_blk(*s)) ++s;
      while (e > s && is_blk(e[-1])) --e;
      if (s != e && *s != '#' && !lin(s, static_cast<size_t>(e - s))) break;
      if (c == EOF) break;
    }
    if (err_.empty() && std::ferror(f)) {
      err_ = pth_ + ": cannot read the scenario: " + std::strerror(errno ? errno : EIO);
    }
  } catch (const std::bad_alloc&) {
    err_ = pth_ + ":" + std::to_string(lin_no_) + ": out of memory reading the scenario";
  }
  std::fclose(f);
  if (!err_.empty()) {  // nothing of a bad scenario is played
    pas_ = {}, dev_ = {}, nam_ = {};
  }
  pas_.shrink_to_fit(), dev_.shrink_to_fit(), nam_.shrink_to_fit();
}

bool bt_sim::lin(const char* s, size_t n) {
  const char* e = s + n;
  // The next blank-separated word; `p` moves past it.
  auto wrd = [e](const char*& p) {
    const char* w = p;
    while (p < e && !is_blk(*p)) ++p;
    return std::string_view(w, static_cast<size_t>(p - w));
  };
  auto skp = [e](const char*& p) {
    while (p < e && is_blk(*p)) ++p;
  };
  const char* p = s;
  const std::string_view cmd = wrd(p);
  skp(p);

  if (cmd == "pass") {
    if (p != e) return flt("\"pass\" takes no argument, got %s", quo(p, e - p).c_str()), false;
    pas_.push_back({dev_.size(), 0});
    return true;
  }
  if (cmd == "wait") {
    if (pas_.empty()) return flt("\"wait\" before the first \"pass\""), false;
    const std::string_view arg = wrd(p);
    if (arg.empty()) return flt("\"wait\" needs a time in milliseconds"), false;
    skp(p);
    if (p != e) return flt("unexpected text after the wait time: %s", quo(p, e - p).c_str()), false;
    uint64_t ms = 0;
    for (char c : arg) {
      if (c < '0' || c > '9') {
        return flt("malformed wait time %s: expected milliseconds as decimal digits",
                   quo(arg.data(), arg.size()).c_str()), false;
      }
      ms = ms * 10 + static_cast<uint64_t>(c - '0');
      if (ms > UINT32_MAX) return flt("wait time %s is too long", quo(arg.data(), arg.size()).c_str()), false;
    }
    pas_.back().wait_ms = static_cast<uint32_t>(ms);
    return true;
  }
  if (cmd == "device") {
    if (pas_.empty()) return flt("\"device\" before the first \"pass\""), false;
    dev d{};
    const std::string_view adr = wrd(p);
    if (!adr_prs(adr.data(), adr.size(), d.adr)) {
      return flt("malformed address %s: expected six hexadecimal bytes like 00:11:22:33:44:55",
                 quo(adr.data(), adr.size()).c_str()), false;
    }
    skp(p);
    const std::string_view flg = wrd(p);
    if (!flg_prs(flg.data(), flg.size(), d.flg)) {
      return flt("malformed flags %s: expected \"-\" or the letters C, R, A, each at most once",
                 quo(flg.data(), flg.size()).c_str()), false;
    }
    if (p < e) ++p;  // the one blank before the name
    d.nam_off = nam_.size();
    switch (u8_to_u16(p, static_cast<size_t>(e - p), nam_, d.nam_len)) {
      case u8_res::ok: break;
      case u8_res::nul: return flt("the device name holds a NUL byte"), false;
      case u8_res::bad: return flt("the device name is not valid UTF-8"), false;
    }
    dev_.push_back(d);
    return true;
  }
  return flt("unknown directive %s: expected pass, device or wait",
             quo(cmd.data(), cmd.size()).c_str()), false;
}

std::unique_ptr<bt_fnd> bt_sim::srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS&) {
  if (!err_.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", err_.c_str());
    std::exit(2);
  }
  if (nxt_ == pas_.size()) {  // the script is over: end as a finished run does
    std::fflush(stdout);
    std::exit(0);
  }
  const size_t i = nxt_++;
  const size_t end = i + 1 < pas_.size() ? pas_[i + 1].dev_fst : dev_.size();
  bt_slp_ms(pas_[i].wait_ms);
  if (pas_[i].dev_fst == end) return nullptr;
  return std::make_unique<fnd>(*this, pas_[i].dev_fst, end);
}

std::unique_ptr<bt_stk> bt_sim_mak(const char* pth) { return std::make_unique<bt_sim>(pth); }
