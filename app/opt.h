// The option table, the option record and the help screen.
#pragma once
#include <cstdint>
#include <string>

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

// True for exactly "-h" or "--help": the short usage in English, for who reaches for them.
bool opt_is_usage(const char* arg);
void opt_usage_prt();

// How the notation reads an option argument's text (after the slash, code page 932) in a flat
// map, told without storing anything: 0 when it reads, else the status the reader gives it
// (ERR_END or ERR_FAIL) with a few words for standard error on what is wrong.
int opt_why(const char* txt, std::string* why);
