// Lookups and value replacement in a device-table-sized nested vmap (10,000 devices, each with
// two children), against a std::map keyed by (parent, text) holding the same keys.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"

namespace {

constexpr int kDevices = 10000;
constexpr size_t kStep = 7919;   // visits the keys out of their order

struct table {
  vmap vm{};
  std::vector<std::string> keys;
  std::vector<vtyp*> ents;

  table() {
    vmap_set(&vm, VMAP_NST);
    char buf[64];
    for (int i = 0; i < kDevices; ++i) {
      std::snprintf(buf, sizeof buf, "%012llX-device %d", 0x1A2B3C000000ull + i * 7919ull, i);
      keys.emplace_back(buf);
      vtyp* e = nullptr;
      _vmap_put_str_str(&vm, nullptr, buf, "ON", &e, 0);
      vmap_put_str_str(&vm, e, "chk", "OK", 0);
      vmap_put_str_int(&vm, e, "cnt", 3, 0);
      ents.push_back(e);
    }
  }
};

table& tbl() {
  static table t;
  return t;
}

// The plain C++ store of the same keys: (parent entry, text) -> value.
struct val {
  std::string txt;
  int32_t num = 0;
};
using std_key = std::pair<const void*, std::string>;

struct std_table {
  std::map<std_key, val> m;
  std::vector<std_key> top;     // the probes, built once like the vmap's key texts
  std::vector<std_key> child;

  std_table() {
    const table& t = tbl();
    for (int i = 0; i < kDevices; ++i) {
      top.emplace_back(nullptr, t.keys[i]);
      child.emplace_back(t.ents[i], "cnt");
      m[top.back()] = {"ON", 0};
      m[{t.ents[i], "chk"}] = {"OK", 0};
      m[child.back()] = {"", 3};
    }
  }
};

std_table& std_tbl() {
  static std_table t;
  return t;
}

void BM_ref_top(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  for (auto _ : st) {
    vtyp* e = nullptr;
    benchmark::DoNotOptimize(vmap_ref_str(&t.vm, nullptr, t.keys[i].c_str(), &e));
    benchmark::DoNotOptimize(e);
    i = (i + kStep) % t.keys.size();
  }
}
BENCHMARK(BM_ref_top)->Name("vmap_ref_str, top level, 10,000 entries/kestrel");

void BM_ref_top_base(benchmark::State& st) {
  std_table& t = std_tbl();
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(t.m.find(t.top[i]));
    i = (i + kStep) % t.top.size();
  }
}
BENCHMARK(BM_ref_top_base)->Name("vmap_ref_str, top level, 10,000 entries/baseline");

void BM_ref_child(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  for (auto _ : st) {
    vtyp* e = nullptr;
    benchmark::DoNotOptimize(vmap_ref_str(&t.vm, t.ents[i], "cnt", &e));
    benchmark::DoNotOptimize(e);
    i = (i + kStep) % t.ents.size();
  }
}
BENCHMARK(BM_ref_child)->Name("vmap_ref_str, child, 10,000 entries/kestrel");

void BM_ref_child_base(benchmark::State& st) {
  std_table& t = std_tbl();
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(t.m.find(t.child[i]));
    i = (i + kStep) % t.child.size();
  }
}
BENCHMARK(BM_ref_child_base)->Name("vmap_ref_str, child, 10,000 entries/baseline");

// Replacing an existing key's text value, "ON" and "OFF" in turn.
void BM_put_top(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  bool on = false;
  for (auto _ : st) {
    benchmark::DoNotOptimize(vmap_put_str_str(&t.vm, nullptr, t.keys[i].c_str(), on ? "ON" : "OFF", 0));
    i = (i + kStep) % t.keys.size();
    on = on != (i < kStep);
  }
}
BENCHMARK(BM_put_top)->Name("vmap_put_str_str, existing key, 10,000 entries/kestrel");

void BM_put_top_base(benchmark::State& st) {
  std_table& t = std_tbl();
  size_t i = 0;
  bool on = false;
  for (auto _ : st) {
    auto it = t.m.find(t.top[i]);
    it->second.txt = on ? "ON" : "OFF";
    benchmark::DoNotOptimize(it);
    i = (i + kStep) % t.top.size();
    on = on != (i < kStep);
  }
}
BENCHMARK(BM_put_top_base)->Name("vmap_put_str_str, existing key, 10,000 entries/baseline");

}  // namespace
