// The "%ls" conversion to code page 932, with the system's own table.
#include "platform/crt_text.h"

#include <cstring>

namespace {

constexpr UINT CP_SJIS = 932;

constexpr bool is_hi(WCHAR u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_lo(WCHAR u) { return u >= 0xDC00 && u <= 0xDFFF; }

// One character (one or two UTF-16 units) to CP932 bytes in `out`; 0 when CP932 has no code for it.
size_t chr_cnv(const WCHAR* u, int n, char (&out)[8]) {
  // Control characters would let a name forge lines of output: they show as '?'. The system's
  // table gives the C1 ones (U+0080-U+009F) single bytes of their own.
  if (n == 1 && (u[0] < 0x20 || (u[0] >= 0x7F && u[0] <= 0x9F))) return 0;
  BOOL dfl = FALSE;
  // No best fit: a character CP932 lacks is not replaced by a look-alike (an accented letter
  // by its bare one, the yen sign by a backslash), it shows as '?'.
  const int r = WideCharToMultiByte(CP_SJIS, WC_NO_BEST_FIT_CHARS, u, n, out, sizeof out, nullptr, &dfl);
  if (r <= 0 || dfl) return 0;
  return static_cast<size_t>(r);
}

}  // namespace

size_t crt_ls_cnv(char* dst, size_t cap, const WCHAR* src, size_t src_max) {
  if (dst == nullptr || cap == 0) return 0;
  size_t len = 0;
  if (src != nullptr) {
    for (size_t i = 0; i < src_max && src[i] != 0;) {
      const size_t n = is_hi(src[i]) && i + 1 < src_max && is_lo(src[i + 1]) ? 2 : 1;
      const bool lone = n == 1 && (is_hi(src[i]) || is_lo(src[i]));  // half a pair: no character
      char b[8];
      size_t bn = lone ? 0 : chr_cnv(src + i, static_cast<int>(n), b);
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
