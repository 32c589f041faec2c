// Cost of lookups and value replacement in a device-table-sized nested vmap, and its heap
// per device entry (key, value and two children), read from the resource register.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/base.h"

namespace {

constexpr int kDevices = 10000;

struct table {
  vmap vm{};
  std::vector<std::string> keys;
  std::vector<vtyp*> ents;
  double bytes_per_device = 0;

  table() {
    const uint64_t before = vtyp_bytes();
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
    bytes_per_device = static_cast<double>(vtyp_bytes() - before) / kDevices;
  }

  static uint64_t vtyp_bytes() {
    uint64_t sum = 0;
    rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
      if (r->fnc != nullptr && std::strcmp(r->fnc, "_vtyp_set") == 0)
        *static_cast<uint64_t*>(a) += r->size;
      return 0;
    }, &sum);
    return sum;
  }
};

table& tbl() {
  static table t;
  return t;
}

void BM_vmap_ref_str(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  for (auto _ : st) {
    vtyp* e = nullptr;
    benchmark::DoNotOptimize(vmap_ref_str(&t.vm, nullptr, t.keys[i].c_str(), &e));
    benchmark::DoNotOptimize(e);
    i = (i + 7) % t.keys.size();
  }
  st.counters["heap_bytes_per_device"] = t.bytes_per_device;
}
BENCHMARK(BM_vmap_ref_str);

void BM_vmap_ref_str_child(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  for (auto _ : st) {
    vtyp* e = nullptr;
    benchmark::DoNotOptimize(vmap_ref_str(&t.vm, t.ents[i], "cnt", &e));
    i = (i + 7) % t.ents.size();
  }
}
BENCHMARK(BM_vmap_ref_str_child);

void BM_vmap_put_str_str_existing(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(vmap_put_str_str(&t.vm, nullptr, t.keys[i].c_str(), "OFF", 0));
    i = (i + 7) % t.keys.size();
  }
}
BENCHMARK(BM_vmap_put_str_str_existing);

void BM_vmap_put_str_str_existing_child(benchmark::State& st) {
  table& t = tbl();
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(vmap_put_str_str(&t.vm, t.ents[i], "chk", "NG", 0));
    i = (i + 7) % t.ents.size();
  }
}
BENCHMARK(BM_vmap_put_str_str_existing_child);

}  // namespace
