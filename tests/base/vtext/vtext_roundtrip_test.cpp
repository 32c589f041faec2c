// Random vmaps written out and read back: the same entries, integers as their decimal text.
// Group mode and path mode, nested and flat; fixed seeds, so a failure names its map.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "vtext_util.h"

namespace {

class VtextRoundTrip : public st::Fixture {};

// Pieces of texts: everything the notation must quote or escape, and words.
const std::vector<std::string> PIECES = {
    "a", "Z9", "_", "key", "0", "x y", "\"", "\\", "\n", "\t", "/", "=", ";", "[", "]", "#",
    "?", "-", ".", "@name@", "\r", "\x82\xA0", "\x83\x5C", "\x81\x40", "\xB1", "\x80",
    "\\n", "\\\"", "\"\"", " ", "\x88\xEA\x93\xF1"};

std::string rnd_txt(std::mt19937& g, bool allow_empty = true) {
  const int n = static_cast<int>(g() % 5);
  if (n == 0 && allow_empty && g() % 2 == 0) return "";
  std::string s;
  for (int i = 0; i <= n; ++i) s += PIECES[g() % PIECES.size()];
  return s;
}

int32_t rnd_int(std::mt19937& g) {
  switch (g() % 6) {
    case 0: return 0;
    case 1: return INT32_MIN;
    case 2: return INT32_MAX;
    case 3: return -static_cast<int32_t>(g() % 1000);
    default: return static_cast<int32_t>(g() % 100000);
  }
}

// A random tree: up to `width` entries a level, `depth` levels; values texts, integers or none.
void fill(vmap* vm, vtyp* prn, std::mt19937& g, int depth, int width) {
  const int n = 1 + static_cast<int>(g() % width);
  for (int i = 0; i < n; ++i) {
    const std::string key = rnd_txt(g);
    vtyp* e = nullptr;
    switch (g() % 3) {
      case 0: ASSERT_EQ(_vmap_put_str_str(vm, prn, key.c_str(), rnd_txt(g).c_str(), &e, 0), 0); break;
      case 1: ASSERT_EQ(_vmap_put_str_int(vm, prn, key.c_str(), rnd_int(g), &e, 0), 0); break;
      default: ASSERT_EQ(_vmap_put_str_nul(vm, prn, key.c_str(), &e, 0), 0); break;
    }
    if (depth > 1 && (vm->flg & VMAP_NST) && g() % 2 == 0) fill(vm, e, g, depth - 1, width);
  }
}

vt::entries read_back(const std::string& text, uint32_t vmap_flg, int32_t* st) {
  vmap vm{};
  EXPECT_EQ(vmap_set(&vm, vmap_flg), 0);
  vt::cstr in(text);
  *st = _vmap_cstream(&vm, nullptr, &in.cs, 0);
  vt::entries e = vt::entries_of(&vm);
  vmap_end(&vm);
  return e;
}

void round_trips(uint32_t vmap_flg, uint32_t mode, int maps) {
  size_t entries = 0;
  for (int seed = 1; seed <= maps; ++seed) {
    std::mt19937 g(static_cast<uint32_t>(seed));
    vmap vm{};
    ASSERT_EQ(vmap_set(&vm, vmap_flg), 0);
    fill(&vm, nullptr, g, 4, 5);
    const vt::entries want = vt::entries_of(&vm);
    int32_t st = -1;
    const std::string text = vt::write(&vm, mode, VMAP_RNG_CTL, nullptr, 0, &st);
    EXPECT_EQ(st, 0) << "seed " << seed;
    const vt::entries got = read_back(text, vmap_flg, &st);
    EXPECT_EQ(st, 0) << "seed " << seed << ":\n" << text;
    EXPECT_EQ(got, want) << "seed " << seed << ":\n" << text;
    // Written again, the map read back gives the same text.
    vmap again{};
    ASSERT_EQ(vmap_set(&again, vmap_flg), 0);
    vt::cstr in(text);
    ASSERT_EQ(_vmap_cstream(&again, nullptr, &in.cs, 0), 0);
    EXPECT_EQ(vt::write(&again, mode), text) << "seed " << seed;
    vmap_end(&again);
    entries += want.size();
    vmap_end(&vm);
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("%d maps, %zu entries\n", maps, entries);
}

TEST_F(VtextRoundTrip, NestedInGroupMode) { round_trips(VMAP_NST, CSTREAM_VTYP_GRP, 80); }
TEST_F(VtextRoundTrip, NestedInPathMode) { round_trips(VMAP_NST, 0, 80); }
TEST_F(VtextRoundTrip, FlatInBothModes) {
  round_trips(0, CSTREAM_VTYP_GRP, 40);
  round_trips(0, 0, 40);
}

}  // namespace
