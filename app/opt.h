// The option table, the option record and the help screen.
#pragma once
#include <cstdint>

enum class opt_knd : uint8_t { flg = 0, int_ = 1, txt = 2 };

inline constexpr uint32_t OPT_OMIT = 1;    // optional: brackets in the usage line, "省略可"
inline constexpr uint32_t OPT_DFLON = 2;   // a flag that is on by default

struct opt_rcd_t {
  int32_t t;
  int32_t c;
  const char* cmdon;
  const char* cmdoff;
  int32_t fp;
  int32_t cmd_use;
  int32_t dbgcnt;
  int32_t dbgtim;
};

struct opt_row {
  opt_knd knd;
  const char* name;
  const char* dsc;
  int32_t val;        // flag: value stored when given; integer: default
  const char* txt;    // text default
  uint32_t flg;
  void* tgt;          // field of opt_rcd
};

inline constexpr int OPT_ROWS = 8;
extern opt_rcd_t opt_rcd;
extern const opt_row opt_tbl[OPT_ROWS];

// True for exactly "/?", "/h" or "/H".
bool opt_is_hlp(const char* arg);
void opt_hlp_prt();
