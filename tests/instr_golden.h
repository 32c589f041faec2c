// What the library's instrumentation records over a fixed workload: the conditions each function
// reports (true, false), and for each timer its sections and their ticks under a clock that
// moves one tick per reading. The expected records sit beside the tests that use this
// (tests/base/diag/instr_test.txt, tests/app/instr_test.txt); KESTREL_INSTR_WRITE=1 makes a run
// write what it recorded there instead of comparing.
//
// Keys under different parents order by the parents' addresses, so a tree's shape, and with it
// how often a search compares, follows where the heap puts blocks. Here every block comes from
// an arena that hands out addresses in the order blocks are asked for and never reuses one:
// the same workload records the same everywhere (64-bit, 32-bit, sanitizers, Windows).
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "base/base.h"
#include "base/diag/heap.h"

namespace instr {

// --- the arena -----------------------------------------------------------------------------

struct arena {
  static constexpr size_t CAP = size_t{64} << 20;
  static constexpr size_t HDR = 16;   // the block's size, keeping the alignment of a malloc
  static inline unsigned char* bgn = nullptr;
  static inline size_t used = 0;

  static bool mine(const void* p) {
    return p != nullptr && static_cast<const unsigned char*>(p) >= bgn && static_cast<const unsigned char*>(p) < bgn + CAP;
  }
  static void* alc(size_t n) {
    const size_t need = HDR + ((n + 15) & ~size_t{15});
    if (need > CAP - used) return nullptr;
    unsigned char* p = bgn + used;
    used += need;
    std::memcpy(p, &n, sizeof n);
    return p + HDR;
  }
  static void* alc0(size_t cnt, size_t siz) {
    if (siz != 0 && cnt > SIZE_MAX / siz) return nullptr;
    void* p = alc(cnt * siz);
    if (p != nullptr) std::memset(p, 0, cnt * siz);
    return p;
  }
  // Blocks made before the arena was set stay the runtime's.
  static void* rea(void* p, size_t n) {
    if (p != nullptr && !mine(p)) return std::realloc(p, n);
    void* q = alc(n);
    if (q != nullptr && p != nullptr) {
      size_t old = 0;
      std::memcpy(&old, static_cast<unsigned char*>(p) - HDR, sizeof old);
      std::memcpy(q, p, old < n ? old : n);
    }
    return q;
  }
  static void fre(void* p) {
    if (!mine(p)) std::free(p);
  }
  // For the rest of the process: blocks from it may be released at any time until the end.
  static void on() {
    if (bgn == nullptr) bgn = static_cast<unsigned char*>(std::malloc(CAP));
    static const heap_ops ops = {alc, alc0, rea, fre};
    heap_ops_set(&ops);
  }
};

// --- what is recorded ------------------------------------------------------------------------

struct sec {
  uint32_t cnt = 0, ttl = 0, own = 0;
};
using timers = std::map<std::string, sec>;   // by name; timers of one name add up

inline uint32_t ticks = 0;
inline uint32_t step_clock() { return ticks++; }
inline int64_t never_due() { return 0; }   // no periodic report: when one is due depends on time

inline timers timers_now() {
  timers m;
  for (const tmr_rcd* t = tmr_lst(); t != nullptr; t = t->nxt) {
    sec& s = m[t->msg];
    s.cnt += t->cnt;
    s.ttl += t->ttl;
    s.own += t->own;
  }
  return m;
}

// Per function, the reports of each outcome so far.
using reports = std::map<std::string, std::pair<uint64_t, uint64_t>>;
inline reports reports_now() {
  reports m;
  ++dbg_busy;   // the walk's own conditions are not the workload's
  test_cvr_walk(nullptr, [](const test_cvr_rcd* r, void* a) {
    auto& p = (*static_cast<reports*>(a))[r->func];
    (r->outcome == 1 ? p.first : p.second) += r->count;
    return 0;
  }, &m);
  --dbg_busy;
  return m;
}

// Records what fn makes the instrumentation record the second time it runs, as text lines:
//   cvr <function> <reports true> <reports false>
//   sec <timer> <sections> <total ticks> <own ticks>
template <class F>
std::string record(F&& fn) {
  arena::on();
  tmr_clk_set(step_clock);
  tmr_wal_set(never_due);
  // Once unrecorded: what happens once in a process (a timer's first section, the register's
  // set-up) is not the workload's.
  fn();
  const timers before = timers_now();
  const reports cvr0 = reports_now();
  err_no = 0;
  fn();
  std::string out;
  for (const auto& [f, n] : reports_now()) {
    const auto it = cvr0.find(f);
    const auto b = it == cvr0.end() ? std::pair<uint64_t, uint64_t>{} : it->second;
    if (n == b) continue;
    out += "cvr " + f + " " + std::to_string(n.first - b.first) + " " + std::to_string(n.second - b.second) + "\n";
  }
  for (const auto& [name, s] : timers_now()) {
    const auto it = before.find(name);
    const sec b = it == before.end() ? sec{} : it->second;
    if (s.cnt == b.cnt && s.ttl == b.ttl && s.own == b.own) continue;
    out += "sec " + name + " " + std::to_string(s.cnt - b.cnt) + " " + std::to_string(s.ttl - b.ttl) + " " +
           std::to_string(s.own - b.own) + "\n";
  }
  return out;
}

// The record lines of an expected file: its comment lines (#) and blank lines left out.
inline std::string lines_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string out, l;
  while (std::getline(in, l))
    if (!l.empty() && l[0] != '#') out += l + "\n";
  return out;
}

// Compares a record with the expected file, or writes it there (keeping the file's comments).
inline void expect(const std::string& got, const std::string& path) {
  const char* w = std::getenv("KESTREL_INSTR_WRITE");
  if (w != nullptr && std::strcmp(w, "1") == 0) {
    std::ifstream in(path, std::ios::binary);
    std::string head, l;
    while (std::getline(in, l))
      if (!l.empty() && l[0] == '#') head += l + "\n";
    std::ofstream(path, std::ios::binary) << head << got;
    return;
  }
  const std::string want = lines_of(path);
  ASSERT_FALSE(want.empty()) << "no expected record in " << path;
  EXPECT_EQ(got, want);
}

// --- the workload ----------------------------------------------------------------------------

// Nested, flat and ordered variant maps (puts, replacements, reads, misses, iteration), the
// template formatter, collectors over Shift-JIS text, search-and-replace, a growable buffer.
inline void lib_workload() {
  rscmng_scp scp;   // as a library caller does
  char key[64];
  vmap nst = {};
  vmap_set(&nst, VMAP_NST);
  vtyp* dev[8] = {};
  for (int i = 0; i < 8; ++i) {
    std::snprintf(key, sizeof key, "%02X0000000000-dev \x83\x5C%d", (i * 37) % 256, i);
    _vmap_put_str_str(&nst, nullptr, key, "ON", &dev[i], 0);
    vmap_put_str_int(&nst, dev[i], "cnt", 3, 0);
    vmap_put_str_str(&nst, dev[i], "chk", "OK", 0);
  }
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 8; ++i) {
      std::snprintf(key, sizeof key, "%02X0000000000-dev \x83\x5C%d", (i * 37) % 256, i);
      vtyp* e = nullptr;
      const char* s = nullptr;
      int32_t n = 0;
      vmap_ref_str(&nst, nullptr, key, &e);
      vmap_get_str_str(&nst, nullptr, key, &s);
      vmap_get_str_int(&nst, e, "cnt", &n);
      vmap_put_str_int(&nst, e, "cnt", n - 1, 0);
      vmap_put_str_str(&nst, e, "chk", round % 2 != 0 ? "OK" : "-", 0);
      vmap_get_str_int(&nst, e, "chk", &n);        // a text read as an integer
      vmap_get_str_str(&nst, e, "none", &s);       // a key that is not there
    }
    _vmap_put_str_str(&nst, nullptr, "010000000000-dev", round % 2 != 0 ? "ON" : "OFF", nullptr, 0);
  }
  vmap_itr it = {};
  vtyp* e = nullptr;
  vmap_rng_pop_set(&nst, nullptr, 0, &it);
  while (vmap_rng_pop(&it, &e, 1) == 0) {
    void* v = nullptr;
    vtyp_ref_lnk_val(e, 0, &v);
    vtyp_ref_val(e, &v);
  }
  vmap_rng_pop_end(&it);
  it = {};
  vmap_rng_pop_set(&nst, nullptr, VMAP_RNG_CTL, &it);
  for (int d = 1; vmap_rng_pop(&it, &e, d) == 0; d ^= 1) {
  }
  vmap_rng_pop_end(&it);
  vmap_end(&nst);

  vmap odr = {};
  vmap_set(&odr, VMAP_NST | VMAP_ODR | VMAP_EQU);
  vtyp* top = nullptr;
  _vmap_put_str_str(&odr, nullptr, "top", "1", &top, 0);
  for (int i = 0; i < 5; ++i) {
    std::snprintf(key, sizeof key, "k%d", 4 - i);
    vmap_put_str_int(&odr, top, key, i, 0);
    vmap_put_str_str(&odr, top, "same", key, MAP_PUT_KEEP);
  }
  it = {};
  vmap_rng_pop_set(&odr, nullptr, VMAP_RNG_ODR, &it);
  while (vmap_rng_pop(&it, &e, 1) == 0) {
  }
  vmap_rng_pop_end(&it);
  vmap_end(&odr);

  for (int round = 0; round < 4; ++round) {
    vmap fl = {};
    vmap_set(&fl, 0);
    vmap_put_str_str(&fl, nullptr, "addr", "0A0B0C0D0E0F", 0);
    vmap_put_str_str(&fl, nullptr, "name", "\x83\x58\x83\x73\x81\x5B\x83\x4A \"q\"", 0);
    vmap_put_str_int(&fl, nullptr, "n", -round, 0);
    const char* tpl = "cmd \"@name@\" @addr@ @n@ @@ \xFA\x40 @none@";
    const char* cur = tpl;
    stream tb = {}, tc = {}, fmt = {};
    stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&tc, &tb, &STREAM_OPS_SJIS);
    char* line = nullptr;
    if (vmap_fmt_stream(&fmt, &fl, &tc) == 0) cstream_to_vstr(&fmt, &line);
    _free(&line);
    vmap_end(&fl);

    stream in = {}, f = {}, p = {}, s = {};
    cstream_str_set(&in, "say \"hi\" to \x83\x5C\x83\x5C and \"bye\" \xA0\xF0");
    cstream_str_set(&f, "\"");
    cstream_str_set(&p, "\\\"");
    if (cstream_replace(&s, &in, &f, &p) == 0) {
      uint32_t* codes = nullptr;
      cstream_to_vcstr(&s, &codes);
      _free(&codes);
    }
    stream t = {};
    cstream_str_set(&t, "\x93\xFA\x96\x7B\x8C\xEA text \x82");   // ends in a lone lead byte
    char* txt = nullptr;
    cstream_to_vstr(&t, &txt);
    _free(&txt);
    stream n = {};
    cstream_int_set(&n, round * -977);
    char* num = nullptr;
    cstream_to_vstr(&n, &num);
    _free(&num);

    __VARBUF(b, 2);
    for (uint16_t v = 0; v < 20; ++v) buf_psh(b, &v);
    buf_rst(b);
    uint16_t v = 0;
    while (buf_pop(b, &v) == 0) {
    }
    buf_end(b);
  }
}

#ifdef INSTR_WATCH
// Passes of the watcher over a scripted stack: devices coming, counted down, paired and absent,
// going; in the second an event command cannot start, the fourth is cut short by a heap call
// that fails. scn: a path for the scenario file.
inline void watch_workload(const std::string& scn) {
  std::ofstream(scn, std::ios::binary) << "pass\n"
                                          "device 00:00:00:00:00:01 - a\n"
                                          "device 00:00:00:00:00:02 CR b\n"
                                          "pass\n"
                                          "device 00:00:00:00:00:01 - a\n"
                                          "device 00:00:00:00:00:02 R b\n"
                                          "device 00:00:00:00:00:03 - kestrel-no-such-c\n"
                                          "pass\n"
                                          "device 00:00:00:00:00:01 - a\n"
                                          "pass\n"
                                          "pass\n"
                                          "device 00:00:00:00:00:02 CR b\n"
                                          "pass\n"
                                          "pass\n";
  bt_stk_set(bt_sim_mak(scn.c_str()));
  opt_rcd = {4, 1, "", "", 1, 0, 0, 0};
  vmap tbl = {};
  vmap_set(&tbl, VMAP_NST);
  for (int p = 0; p < 6; ++p) {
    // Commands only in the pass whose one change is the device whose command cannot start.
    opt_rcd.cmdon = p == 1 ? "@name@" : "";
    opt_rcd.cmd_use = p == 1 ? 1 : 0;
    ++dbg_busy;   // the test's own call, not the workload's
    heap_fail_set(p == 3 ? 12 : 0);
    --dbg_busy;
    dev_chk(&tbl);
  }
  ++dbg_busy;
  heap_fail_set(0);
  --dbg_busy;
  vmap_end(&tbl);
  bt_stk_set(nullptr);
}
#endif

}  // namespace instr
