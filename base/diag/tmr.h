// Timer profiling: sections of static timer records, a CSV report written periodically
// and at exit.
#pragma once
#include <cstdint>
#include <cstdio>

inline constexpr uint32_t TMR_ACT = 1;   // a section is open
inline constexpr uint32_t TMR_LST = 2;   // linked into the report list

struct tmr_rcd {
  const char* msg;
  const char* file;
  int32_t line;
  const char* fnc;   // NULL for timers
  tmr_rcd* nxt;
  uint32_t cnt;
  uint32_t ttl;
  uint32_t own;
  uint32_t ttl_max, ttl_min;
  uint32_t own_max, own_min;
  uint32_t flg;
};

struct tmr_frm {
  tmr_frm* prv;
  uint32_t bgn;
  uint32_t cld;   // ticks not owned: nested sections and profiler overhead
  uint32_t rec;   // the timer was already active: a recursive section
};

void tmr_psh(tmr_rcd* tmr, tmr_frm* frm);
void tmr_pop(tmr_rcd* tmr, tmr_frm* frm);
int tmr_prt(FILE* stream);
int tmr_prt_aut(const char* path, uint32_t interval, int64_t* last);
void tmr_prt_ext();

// Clocks: milliseconds of a monotonic clock, and wall-clock seconds. Replaceable for tests;
// NULL restores the real one. Each returns the previous function.
using tmr_clk_fn = uint32_t (*)();
using tmr_wal_fn = int64_t (*)();
tmr_clk_fn tmr_clk_set(tmr_clk_fn fn);
// What the real clock reads: a processor counter, and the kernel's monotonic nanoseconds.
struct tmr_ctr_ops {
  uint64_t (*ctr)();
  uint64_t (*mono)();
};
// Tests only: the real clock over these readings (NULL: the machine's own), started afresh from
// now; the counter is used when use is set (and, for the machine's, the kernel keeps time by it).
void tmr_ctr_set(const tmr_ctr_ops* ops, bool use);
tmr_wal_fn tmr_wal_set(tmr_wal_fn fn);
// The head of the report list (newest first).
tmr_rcd* tmr_lst();

// A section for the life of the object.
struct tmr_sec {
  tmr_rcd& tmr;
  tmr_frm frm{};
  explicit tmr_sec(tmr_rcd& t) : tmr(t) { tmr_psh(&tmr, &frm); }
  ~tmr_sec() { tmr_pop(&tmr, &frm); }
  tmr_sec(const tmr_sec&) = delete;
  tmr_sec& operator=(const tmr_sec&) = delete;
};

// Times the rest of the enclosing block with the function's own static timer.
#define TMR_SEC()                                                               \
  static tmr_rcd tmr_rcd_own_{__func__, __FILE__, __LINE__, nullptr, nullptr, \
                              0, 0, 0, 0, 0, 0, 0, 0};                         \
  tmr_sec tmr_sec_own_ { tmr_rcd_own_ }
