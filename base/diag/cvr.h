// Condition coverage recorder: every condition tested in base is reported here.
#pragma once
#include <cstdint>

struct test_cvr_rcd {
  const char* name;      // always "test_coverage"; not copied
  const char* file;      // caller's source path; not copied
  uint32_t line;
  const char* func;      // first reporter's function name; not copied
  int32_t outcome;       // 1 true, 2 false
  uint32_t count;
  test_cvr_rcd* odr_nxt; // creation order, newest first
  test_cvr_rcd* hsh_nxt; // same bucket, newest first
  uint32_t flags;        // TEST_CVR_VALID | TEST_CVR_CREATED
};

inline constexpr uint32_t TEST_CVR_BKT = 127;
inline constexpr uint32_t TEST_CVR_CREATED = 2;
inline constexpr uint32_t TEST_CVR_VALID = 4;

struct test_cvr_tbl {
  uintptr_t rsv;
  test_cvr_rcd* odr_top;
  test_cvr_rcd* bkt[TEST_CVR_BKT];
  uintptr_t flags;       // bit 0 cleared by every recording
};

// Shared with the resource manager: while non-zero, diagnostics record nothing.
extern uint32_t dbg_busy;
extern test_cvr_tbl test_cvr_prc;

int _test_cvr_pas(test_cvr_tbl* tbl, int outcome, const char* file, uint32_t line,
                  const char* func, const char* name);

// Reader: calls fn for every record, newest first; stops when fn returns non-zero.
using test_cvr_fnc = int (*)(const test_cvr_rcd* rcd, void* arg);
int test_cvr_walk(const test_cvr_tbl* tbl, test_cvr_fnc fn, void* arg);
// Writes the table as CSV (file,line,function,outcome,count); -1 if it cannot open path.
int test_cvr_dump(const test_cvr_tbl* tbl, const char* path);

// One condition site of the process table: the records of its two outcomes, once found.
// Records are never freed, so a site may keep them; clearing the table forgets every site's.
struct test_cvr_site {
  test_cvr_rcd* rcd[2];   // [0] false, [1] true
  // The file text the records were found for. One site can stand for a header's condition
  // compiled under two spellings of the header's path, which the recorder keeps apart: a report
  // under another file text takes the recorder's lookup.
  const char* file;
  test_cvr_site* nxt;     // sites holding records, so that they can be forgotten
};

// Reports outcome v of a site of the process table: the recorder's lookup, remembered in the
// site unless remembering is off.
void __test_cvr_site(test_cvr_site& s, bool v, const char* file, uint32_t line, const char* func);

// hdr: the site is in a header, so that several files may share it (a site in a source file is
// that file's alone).
template <bool hdr>
inline bool test_cvr_hit(test_cvr_site& s, bool v, const char* file, uint32_t line, const char* func) {
  // The recorder would return at once while busy; not calling it saves the call on the
  // diagnostics' own paths (there it more than halves the cost of an operation).
  if (dbg_busy == 0) {  // CVR's own guard: reporting it through CVR would recurse for ever
    // What the recorder would do for a record it has found: count it, mark the table changed.
    if (test_cvr_rcd* r = s.rcd[v]; r != nullptr && (!hdr || s.file == file)) {  // the same guard
      ++r->count;
      test_cvr_prc.flags &= ~uintptr_t{1};
    } else {
      __test_cvr_site(s, v, file, line, func);
    }
  }
  return v;
}

// Tests only. Empties the process table (its records are left allocated, as records are never
// freed) and makes every site forget its records.
void test_cvr_clr();
// Tests only: whether sites remember their records (on at start). Turning it off or on makes
// every site forget; off, every report takes the recorder's own lookup.
void test_cvr_cache_set(bool on);

// Evaluates c once, reports the outcome, yields the saved truth value. Each use has a site of
// its own.
#define CVR(c)                                                                              \
  (::test_cvr_hit<__builtin_strcmp(__FILE__, __BASE_FILE__) != 0>(                             \
      []() -> ::test_cvr_site& { static ::test_cvr_site s_; return s_; }(), static_cast<bool>(c), \
      __FILE__, __LINE__, __func__))
