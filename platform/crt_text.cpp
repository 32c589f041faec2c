// The "%ls" conversion to code page 932, through iconv.
#include "platform/crt_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr bool is_hi(WCHAR u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_lo(WCHAR u) { return u >= 0xDC00 && u <= 0xDFFF; }

// One character (one or two UTF-16 units) to CP932 bytes in `out`; 0 when CP932 has no code for it.
size_t chr_cnv(iconv_t cd, const WCHAR* u, size_t n, char (&out)[8]) {
  // Control characters would let a name forge lines of output: they show as '?'.
  if (n == 1 && (u[0] < 0x20 || u[0] == 0x7F)) return 0;
  if (n == 1 && u[0] < 0x80) {  // ASCII is itself in CP932
    out[0] = static_cast<char>(u[0]);
    return 1;
  }
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  char in[4];
  for (size_t i = 0; i < n; ++i) {  // UTF-16LE whatever the host order
    in[2 * i] = static_cast<char>(u[i] & 0xFF);
    in[2 * i + 1] = static_cast<char>(u[i] >> 8);
  }
  char* ip = in;
  size_t il = 2 * n;
  char* op = out;
  size_t ol = sizeof out;
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // no state survives a failed character
  if (r == static_cast<size_t>(-1) || il != 0) return 0;
  return static_cast<size_t>(op - out);
}

}  // namespace

size_t crt_ls_cnv(char* dst, size_t cap, const WCHAR* src, size_t src_max) {
  if (dst == nullptr || cap == 0) return 0;
  size_t len = 0;
  if (src != nullptr) {
    // Opened once for the process: a watcher converts a name per device per pass. Without the
    // converter (no gconv modules) ASCII still comes through, the rest as '?'.
    static const iconv_t cd = iconv_open("CP932", "UTF-16LE");
    for (size_t i = 0; i < src_max && src[i] != 0;) {
      const size_t n = is_hi(src[i]) && i + 1 < src_max && is_lo(src[i + 1]) ? 2 : 1;
      const bool lone = n == 1 && (is_hi(src[i]) || is_lo(src[i]));  // half a pair: no character
      char b[8];
      size_t bn = lone ? 0 : chr_cnv(cd, src + i, n, b);
      if (bn == 0) b[0] = '?', bn = 1;
      if (len + bn > cap - 1) break;
      std::memcpy(dst + len, b, bn);
      len += bn;
      i += n;
    }
  }
  dst[len] = '\0';
  return len;
}
