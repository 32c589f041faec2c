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

inline bool test_cvr_hit(bool v, const char* file, uint32_t line, const char* func) {
  // The recorder would return at once while busy; not calling it saves the call on the
  // diagnostics' own paths (there it more than halves the cost of an operation).
  if (dbg_busy == 0)  // CVR's own guard: reporting it through CVR would recurse for ever
    _test_cvr_pas(nullptr, 2 - static_cast<int>(v), file, line, func, "test_coverage");
  return v;
}

// Evaluates c once, reports the outcome, yields the saved truth value.
#define CVR(c) (::test_cvr_hit(static_cast<bool>(c), __FILE__, __LINE__, __func__))
