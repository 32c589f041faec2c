#include "base/diag/cvr.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diag/fil.h"
#include "base/diag/heap.h"

uint32_t dbg_busy = 0;
test_cvr_tbl test_cvr_prc = {};

namespace {

inline bool same_text(const char* a, const char* b) { return a == b || std::strcmp(a, b) == 0; }

// Records are never freed; taking them from chunks keeps the chains the recorder walks on
// every condition close together in memory.
constexpr size_t RCD_CHUNK = 256;
test_cvr_rcd* rcd_chunk = nullptr;
size_t rcd_left = 0;

test_cvr_rcd* rcd_new() {
  if (CVR(rcd_left == 0)) {
    rcd_chunk = static_cast<test_cvr_rcd*>(heap_alc0(RCD_CHUNK, sizeof(test_cvr_rcd)));
    if (CVR(rcd_chunk == nullptr)) return nullptr;
    rcd_left = RCD_CHUNK;
  }
  --rcd_left;
  return rcd_chunk++;
}

void test_cvr_ext() {
  const char* path = std::getenv("BAS_CVR_PATH");
  if (CVR(path == nullptr || *path == '\0')) return;
  // "%p" stands for the process id, so that the processes of a test run keep a table each.
  const char* p = std::strstr(path, "%p");
  if (CVR(p == nullptr)) {
    test_cvr_dump(&test_cvr_prc, path);
    return;
  }
  char buf[4096];
  const int n = std::snprintf(buf, sizeof buf, "%.*s%ld%s", static_cast<int>(p - path), path,
                              static_cast<long>(getpid()), p + 2);
  if (CVR(n > 0 && static_cast<size_t>(n) < sizeof buf)) test_cvr_dump(&test_cvr_prc, buf);
}

struct test_cvr_ext_reg {
  test_cvr_ext_reg() { std::atexit(test_cvr_ext); }
} test_cvr_ext_reg_once;

}  // namespace

namespace {

// The recorder's work for one report: the matching record, or a new one; NULL when none could
// be made. dbg_busy is held by the caller.
test_cvr_rcd* cvr_rcd(test_cvr_tbl* tbl, int outcome, const char* file, uint32_t line, const char* func,
                      const char* name) {
  // The recorder's own reports find dbg_busy held and return at once.
  if (CVR(tbl == nullptr)) tbl = &test_cvr_prc;
  const uint32_t b = line % TEST_CVR_BKT;
  test_cvr_rcd* r = tbl->bkt[b];
  while (CVR(r != nullptr)) {
    if (CVR((r->flags & TEST_CVR_VALID) && r->line == line && r->outcome == outcome &&
            same_text(r->file, file)))
      break;
    r = r->hsh_nxt;
  }
  if (CVR(r == nullptr)) {
    r = rcd_new();
    if (CVR(r == nullptr)) return nullptr;
    r->name = name;
    r->file = file;
    r->line = line;
    r->func = func;
    r->outcome = outcome;
    r->flags = TEST_CVR_VALID | TEST_CVR_CREATED;
    r->odr_nxt = tbl->odr_top;
    tbl->odr_top = r;
    r->hsh_nxt = tbl->bkt[b];
    tbl->bkt[b] = r;
  }
  ++r->count;
  tbl->flags &= ~uintptr_t{1};
  return r;
}

bool site_keep = true;
test_cvr_site* site_top = nullptr;

void site_forget() {
  while (CVR(site_top != nullptr)) {
    test_cvr_site* s = site_top;
    site_top = s->nxt;
    *s = {};
  }
}

}  // namespace

int _test_cvr_pas(test_cvr_tbl* tbl, int outcome, const char* file, uint32_t line,
                  const char* func, const char* name) {
  if (dbg_busy != 0) return 0;  // not CVR-reported: the report would re-enter here for ever
  ++dbg_busy;
  const test_cvr_rcd* r = cvr_rcd(tbl, outcome, file, line, func, name);
  --dbg_busy;
  return CVR(r == nullptr) ? -1 : 0;
}

void __test_cvr_site(test_cvr_site& s, bool v, const char* file, uint32_t line, const char* func) {
  ++dbg_busy;
  test_cvr_rcd* r = cvr_rcd(nullptr, 2 - static_cast<int>(v), file, line, func, "test_coverage");
  // A site keeps the records of one file text: the first it met.
  if (CVR(r != nullptr && site_keep && (s.file == nullptr || s.file == file))) {
    if (CVR(s.file == nullptr)) {
      s.file = file;
      s.nxt = site_top;
      site_top = &s;
    }
    s.rcd[v] = r;
  }
  --dbg_busy;
}

void test_cvr_clr() {
  ++dbg_busy;
  site_forget();
  test_cvr_prc = {};
  --dbg_busy;
}

void test_cvr_cache_set(bool on) {
  ++dbg_busy;
  site_forget();
  site_keep = on;
  --dbg_busy;
}

int test_cvr_walk(const test_cvr_tbl* tbl, test_cvr_fnc fn, void* arg) {
  if (CVR(tbl == nullptr)) tbl = &test_cvr_prc;
  for (const test_cvr_rcd* r = tbl->odr_top; CVR(r != nullptr); r = r->odr_nxt)
    if (CVR(fn(r, arg) != 0)) return 1;
  return 0;
}

int test_cvr_dump(const test_cvr_tbl* tbl, const char* path) {
  FILE* f = diag_fopen(path);
  if (CVR(f == nullptr)) return -1;
  // The dump reads the table; its own conditions must not change it while it is written.
  ++dbg_busy;
  std::fputs("file,line,function,outcome,count\n", f);
  test_cvr_walk(tbl, [](const test_cvr_rcd* r, void* a) {
    std::fprintf(static_cast<FILE*>(a), "%s,%u,%s,%d,%u\n", r->file, r->line, r->func,
                 r->outcome, r->count);
    return 0;
  }, f);
  const int rc = std::fclose(f);
  --dbg_busy;
  return CVR(rc == 0) ? 0 : -1;
}
