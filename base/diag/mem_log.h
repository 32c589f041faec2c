// Memory log: the last 64 diagnostic records, written to a log file, standard error and
// a light log holding one 256-byte line per logging call site.
#pragma once
#include <cstdint>
#include <cstdio>

inline constexpr int MEM_LOG_RING = 64;
inline constexpr uint32_t MEM_LOG_PAY = 256;
inline constexpr long MEM_LOG_LGT_LINE = 256;

// Mode bits.
inline constexpr uint32_t MEM_LOG_FIL = 1;        // log file is a destination
inline constexpr uint32_t MEM_LOG_FIL_NOW = 2;    // ... written as records are pushed
inline constexpr uint32_t MEM_LOG_ERR = 4;        // standard error is a destination
inline constexpr uint32_t MEM_LOG_ERR_NOW = 8;    // ... written as records are pushed
inline constexpr uint32_t MEM_LOG_LGT = 0x10;     // light log kept
inline constexpr uint32_t MEM_LOG_INI = 0x20;     // first-use set-up done
inline constexpr uint32_t MEM_LOG_EXT = 0x40;     // exit handler registered

using mem_log_prt_fn = void (*)(FILE* stream, const void* payload);

struct mem_log_rcd {
  int64_t tim;
  uint64_t prc_cnt;
  int32_t line;
  const char* file;
  int32_t err;
  mem_log_prt_fn prt;
  unsigned char buf[MEM_LOG_PAY];
};

struct src_pos {
  const char* about;
  const char* file;
  int32_t line;
  const char* fnc;
};

extern uint32_t mem_log_mod;

uint64_t __prc_cnt(uint64_t* out);
int mem_log_psh(int* slot, int32_t err, const char* file, int line, const void* payload,
                uint32_t len, mem_log_prt_fn prt);
void mem_log_prt();
void mem_log_rcd_prt(FILE* stream, const mem_log_rcd* rec, int lgt);
int mem_log_end();
void __mem_log_txt_prt(FILE* stream, const void* payload);
int __src_pos_fprint(FILE* stream, const src_pos* pos);

// Reader for tests and inspection: record i counted from the oldest, NULL past the count.
const mem_log_rcd* mem_log_get(int i);
