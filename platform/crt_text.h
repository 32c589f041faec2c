// Wide text to the console's narrow text, as the C runtime's "%ls" does in the Japanese
// locale (code page 932).
#pragma once
#include <cstddef>

#include "platform/windows.h"

// Converts the UTF-16 text `src` (ending at its first NUL unit, and after `src_max` units at
// most) to CP932 in `dst`, which holds `cap` bytes, terminator included. A character that
// CP932 cannot represent (an unpaired surrogate among them) becomes one '?', and so does a
// control character (U+0001-U+001F, U+007F), which could otherwise forge output lines. The text is cut
// before the first character that would not fit, never inside one; with `cap` 0 nothing is
// written. Returns the length written, terminator excluded.
//
// To keep a composed text within its buffer, pass the room left for this part as `cap`: for
// the device key "<12 digits>-<name>" in a 256-byte buffer that is 256 - 13.
size_t crt_ls_cnv(char* dst, size_t cap, const WCHAR* src, size_t src_max);
#ifdef _WIN32
// The same for UTF-16 held as char16_t, which is WCHAR elsewhere.
inline size_t crt_ls_cnv(char* dst, size_t cap, const char16_t* src, size_t src_max) {
  static_assert(sizeof(char16_t) == sizeof(WCHAR));
  return crt_ls_cnv(dst, cap, reinterpret_cast<const WCHAR*>(src), src_max);
}
inline size_t crt_ls_cnv(char* dst, size_t cap, std::nullptr_t, size_t src_max) {
  return crt_ls_cnv(dst, cap, static_cast<const WCHAR*>(nullptr), src_max);
}
#endif
