// The process-wide status word and the status rules every library operation follows.
#pragma once
#include <cstdint>

#include "base/diag/cvr.h"

// 0 success; 1 clean end; bit 31 set: failure, low 31 bits (signed) the failure code.
extern int32_t err_no;

inline constexpr int32_t ERR_OK = 0;
inline constexpr int32_t ERR_EOD = 1;                                 // clean end of data
inline constexpr int32_t ERR_FAIL = -1;                               // general failure
inline constexpr int32_t ERR_END = static_cast<int32_t>(0x80000001u);  // refused push / past the end

// A failure keeps an earlier, more specific one: -1 only replaces 0.
inline int32_t err_fail() {
  if (CVR(err_no == ERR_OK)) err_no = ERR_FAIL;
  return err_no;
}
// Success clears whatever was left.
inline int32_t err_ok() {
  if (CVR(err_no != ERR_OK)) err_no = ERR_OK;
  return err_no;
}
// The failure code of a status: 0 unless bit 31 is set, then the low 31 bits as signed.
inline constexpr int32_t err_code(int32_t st) {
  return (static_cast<uint32_t>(st) >> 31) * (static_cast<int32_t>(static_cast<uint32_t>(st) << 1) >> 1);
}
static_assert(err_code(ERR_FAIL) == -1 && err_code(ERR_END) == 1 && err_code(ERR_EOD) == 0);
