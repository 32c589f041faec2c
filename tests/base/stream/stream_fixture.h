// Shared by the stream tests: a fixture that fails a test which leaves blocks registered
// or scopes open, and small sources/sinks that record what the streams do to them.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"

namespace st {

struct reg_ent {
  uintptr_t bgn;
  uint32_t lvl;
  std::string about, fnc, file;
  int line;
};

inline int collect(const rscmng_rcd* r, void* arg) {
  static_cast<std::vector<reg_ent>*>(arg)->push_back(
      {r->key.bgn, r->key.lvl, r->about != nullptr ? r->about : "", r->fnc != nullptr ? r->fnc : "",
       r->file != nullptr ? r->file : "", r->line});
  return 0;
}

inline std::vector<reg_ent> snapshot() {
  std::vector<reg_ent> v;
  rscmng_walk(nullptr, collect, &v);
  return v;
}

class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    err_no = 0;
    lvl_ = rscmng_prc.lvl;
    before_ = snapshot();
  }
  void TearDown() override {
    EXPECT_EQ(rscmng_prc.lvl, lvl_) << "a scope was left open";
    EXPECT_EQ(stkptr(nullptr, nullptr), nullptr) << "an object was left in the hand-over slot";
    for (const reg_ent& e : snapshot()) {
      bool old = false;
      for (const reg_ent& b : before_) old = old || (b.bgn == e.bgn && b.lvl == e.lvl);
      // Diagnostics files (the memory log) may be opened on first use and stay open.
      if (!old && e.about != "fopen") {
        ADD_FAILURE() << "still registered: " << e.about << " by " << e.fnc << " at " << e.file
                      << ":" << e.line << " level " << e.lvl;
      }
    }
  }

 private:
  int32_t lvl_ = 0;
  std::vector<reg_ent> before_;
};

// A byte source over a fixed text that records what was done to it. After `fail_at`
// bytes it fails with `fail_code` instead of ending.
struct fake_src {
  explicit fake_src(std::string d) : data(std::move(d)) {}
  std::string data;
  size_t pos = 0;
  size_t fail_at = std::string::npos;
  int32_t fail_code = ERR_FAIL;
  size_t cap = std::string::npos;   // pushes refused past this many bytes
  std::string pushed;
  int ends = 0;
  int rsts = 0;
  int rst_result = 0;
};

inline int fake_pop(void* src, void* out) {
  auto* f = static_cast<fake_src*>(src);
  if (f->pos >= f->fail_at) {
    err_no = f->fail_code;
    return 1;
  }
  if (f->pos >= f->data.size()) return 1;   // end, err_no left as it is
  *static_cast<unsigned char*>(out) = static_cast<unsigned char>(f->data[f->pos++]);
  err_no = 0;
  return 0;
}
inline int fake_psh(void* src, const void* in) {
  auto* f = static_cast<fake_src*>(src);
  if (f->pushed.size() >= f->cap) {
    err_no = ERR_FAIL;
    return -1;
  }
  f->pushed.push_back(*static_cast<const char*>(in));
  err_no = 0;
  return 0;
}
inline void fake_end(void* src) { ++static_cast<fake_src*>(src)->ends; }
inline int fake_rst(void* src) {
  auto* f = static_cast<fake_src*>(src);
  ++f->rsts;
  f->pos = 0;
  return f->rst_result;
}

inline constexpr stream_ops FAKE_OPS{fake_pop, fake_psh, fake_end, fake_rst};
inline constexpr stream_ops FAKE_OPS_NO_END{fake_pop, fake_psh, nullptr, fake_rst};

// Pops bytes until the stream stops; the final status goes to *st.
inline std::string drain_bytes(stream* s, int32_t* st) {
  std::string out;
  unsigned char b = 0;
  int32_t r;
  while ((r = stream_pop(s, &b)) == 0) out.push_back(static_cast<char>(b));
  *st = r;
  return out;
}

// Pops characters until the stream stops.
inline std::vector<uint32_t> drain_chars(stream* s, int32_t* st) {
  std::vector<uint32_t> out;
  uint32_t c = 0;
  int32_t r;
  while ((r = stream_pop(s, &c)) == 0) out.push_back(c);
  *st = r;
  return out;
}

inline std::string bytes(std::initializer_list<unsigned> v) {
  std::string s;
  for (unsigned b : v) s.push_back(static_cast<char>(b));
  return s;
}

}  // namespace st
