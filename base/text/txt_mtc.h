// Word matcher: a compiled term (a list of small nodes) run breadth-first over characters fed
// one at a time, without backtracking. A checker holds the state of one match.
#pragma once
#include <cstdint>

#include "base/stream/stream.h"

// One node of a term. arg is a character code or a repeat count (val) on member and count
// nodes, a link to another node of the same term (lnk) on branch nodes.
struct txt_trm {
  txt_trm* next;
  union {
    txt_trm* lnk;
    uint32_t val;
  } arg;
  uint32_t kind;
};

// Kind bits. Members of a class carry TRM_CHR; count nodes TRM_CNT.
inline constexpr uint32_t TRM_RNG_LO = 0x0001;   // member: lower bound; the next is the upper
inline constexpr uint32_t TRM_CNT_MIN = 0x0001;  // count: the minimum; a TRM_CNT_MAX node follows
inline constexpr uint32_t TRM_RNG_HI = 0x0002;   // member: upper bound of a range
inline constexpr uint32_t TRM_CNT_MAX = 0x0002;  // count: the maximum (TRM_UNB: unbounded)
inline constexpr uint32_t TRM_NEG = 0x0004;      // member of a negated class
inline constexpr uint32_t TRM_CHR = 0x0008;      // member of a character class
inline constexpr uint32_t TRM_CLS_END = 0x0010;  // last member of its class
inline constexpr uint32_t TRM_CNT = 0x0020;      // repeat count of the atom before it
inline constexpr uint32_t TRM_FIN = 0x0040;      // reaching it is a match
inline constexpr uint32_t TRM_BRA = 0x0100;      // alternative start; lnk: the next alternative's
inline constexpr uint32_t TRM_KET = 0x0200;      // alternative end; lnk: the node after the group
inline constexpr uint32_t TRM_OPT = 0x0400;      // first node of an atom that may be skipped
inline constexpr uint32_t TRM_BOL = 0x0800;      // at a line start, consumes nothing
inline constexpr uint32_t TRM_EOL = 0x1000;      // before a line feed or the end, consumes nothing
inline constexpr uint32_t TRM_UNB = 0xFFFFFFFFu;

// A thread: a place in the term, the repeat count of the atom it stands on, and the position
// where it started.
struct txt_mtc_thd {
  txt_mtc_thd* nxt;
  const txt_trm* nod;
  uint32_t rpt;
  uint32_t top;
};

struct txt_mtc_tbl;

struct txt_mtc_chk {
  txt_trm* trm;       // first node of the term
  txt_mtc_thd* thd;   // live threads waiting for the next character
  uint32_t flg;       // TXT_MTC_* options
  uint32_t mtc_top;   // recorded match: start
  uint32_t mtc_end;   // recorded match: end (exclusive)
  uint32_t pos;       // position of the character being fed
  uint32_t stt;       // TXT_MTC_STT_* state
  // Upkeep of the engine, zeroed with the rest of the checker.
  txt_mtc_thd* fre;   // spare threads (still registered) for the next steps
  txt_mtc_tbl* tbl;   // the states the threads of a step reached
  uint64_t exm;       // threads examined since the checker was set: the matcher's cost
  uint32_t org;       // where the run began: an anchored match starts there
  uint32_t run;       // a character was fed since the checker was set or reset
};

// Option bits.
inline constexpr uint32_t TXT_MTC_DEF = 0x01;  // part of the default word; tested by nothing
// What a checker finds: the match with the leftmost start; from that start, the longest end
// with TXT_MTC_LNG, else the shortest. Anchored, the start is where the run began (the first
// character fed since the checker was set or reset).
inline constexpr uint32_t TXT_MTC_LNG = 0x02;  // longest: keep running after a match
inline constexpr uint32_t TXT_MTC_ANC = 0x04;  // anchored (txt_mtc copies it into the state)
inline constexpr uint32_t TXT_MTC_NEW = 0x08;  // no fresh thread at the character fed
inline constexpr uint32_t TXT_MTC_OWN = 0x10;  // the checker frees its term
// Every thread is run as it comes, however many equal ones there are: the reference that the
// merging of equal threads is held to.
inline constexpr uint32_t TXT_MTC_LIT = 0x100;
inline constexpr uint32_t TXT_MTC_FLG_DEF = TXT_MTC_DEF | TXT_MTC_LNG;

// State bits.
inline constexpr uint32_t TXT_MTC_STT_ANC = 0x01;
inline constexpr uint32_t TXT_MTC_STT_MTC = 0x02;  // mtc_top and mtc_end are valid
inline constexpr uint32_t TXT_MTC_STT_BOL = 0x08;  // the previous character was a line feed

// Threads examined in one step after which equal states are looked up and merged. A tuning
// knob: merging never changes a result, and on short lists the look-ups cost more than they
// save.
extern uint32_t txt_mtc_mrg_min;

int txt_mtc_chk_set(txt_mtc_chk* chk, txt_trm* trm, const uint32_t* flags);
int txt_mtc_wrd(txt_mtc_chk* chk, uint32_t ch);
int txt_mtc(txt_mtc_chk* chk, stream* strm);
void txt_mtc_chk_rst(txt_mtc_chk* chk);
void txt_mtc_chk_end(txt_mtc_chk* chk);
void txt_mtc_trm_end(txt_trm* trm);
void txt_mtc_thd_end(txt_mtc_thd* thd);

// The characters a term can begin a match with: a fresh checker fed one of the others is left
// with neither a match nor a thread. set: one bit per code below 256; *big: some code above
// 255 may begin one. 0, or 1 when no such set can be given (the term may match the empty
// text, begins with an anchor, or is broken).
int __txt_mtc_fst(const txt_trm* trm, uint32_t set[8], bool* big);

