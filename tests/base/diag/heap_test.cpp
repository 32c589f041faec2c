// Every heap call failing in turn, for each unit operation of the library outside the text
// engine (its own runs are in tests/base/text): the documented failure status or the clean
// run's result, every block given back, no crash.
#include "base/diag/heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alloc_util.h"
#include "base/base.h"

namespace {

using tu::outcome;

TEST(HeapFail, TheSwitchFailsExactlyTheKthCall) {
  // Every outcome of the switch reported once first, so that the recorder takes no heap call
  // of its own in the count below.
  heap_fail_set(1);
  heap_fre(heap_alc(8));
  heap_fre(heap_alc(8));
  heap_fail_set(0);
  const uint64_t c0 = heap_cnt();
  heap_fail_set(2);
  void* a = heap_alc(8);
  void* b = heap_alc(8);
  void* c = heap_alc(8);
  heap_fail_set(0);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr) << "once only";
  EXPECT_EQ(heap_cnt() - c0, 3u) << "failed calls count too";
  heap_fre(a);
  heap_fre(c);
  heap_fail_set(1);
  EXPECT_EQ(heap_rea(nullptr, 8), nullptr);
  heap_fail_set(1);
  EXPECT_EQ(heap_alc0(2, 8), nullptr);
  heap_fail_set(0);
}

TEST(HeapFail, VariantMap) {
  const int failed = tu::every_heap_call([] {
    std::string out;
    vmap vm{};
    if (vmap_set(&vm, VMAP_NST | VMAP_ODR) != 0) return outcome{err_no, out};
    vtyp* dev = nullptr;
    int32_t st = _vmap_put_str_str(&vm, nullptr, "554433221100-\x83\x5C", "ON", &dev, 0);
    if (st == 0) st = vmap_put_str_int(&vm, dev, "cnt", 3, 0);
    if (st == 0) st = vmap_put_str_str(&vm, dev, "chk", "OK", 0);
    if (st == 0) st = vmap_put_str_str(&vm, dev, "chk", "-", 0);
    if (st == 0) st = _vmap_put_str_nul(&vm, nullptr, "fp", nullptr, 0);
    const char* s = nullptr;
    if (st == 0) st = vmap_get_str_str(&vm, dev, "chk", &s);
    if (st == 0) out += s;
    vmap_itr itr{};
    if (st == 0) st = vmap_rng_pop_set(&vm, nullptr, VMAP_RNG_ODR, &itr);
    vtyp* e = nullptr;
    while (st == 0 && (st = vmap_rng_pop(&itr, &e, 1)) == 0) {
      void* k = nullptr;
      vtyp_ref_val(e, &k);
      out += std::string(",") + static_cast<char*>(k);
    }
    if (st == ERR_EOD) st = 0;
    vmap_rng_pop_end(&itr);
    vmap_end(&vm);
    return outcome{st, out};
  }, "vmap");
  EXPECT_GT(failed, 5);
}

TEST(HeapFail, Buffers) {
  const int failed = tu::every_heap_call([] {
    rscmng_scp scp;
    std::string out;
    int32_t st = 0;
    __VARBUF(arr, 2);
    for (uint16_t v = 0; st == 0 && v < 70; ++v) st = buf_psh(arr, &v);
    __LNKBUF(stk, 4);
    for (uint32_t v = 0; st == 0 && v < 5; ++v) st = buf_psh(stk, &v);
    uint32_t w = 0;
    while (st == 0 && buf_pop(stk, &w) == 0) out += std::to_string(w);
    buf_end(stk);
    buf_end(arr);
    return outcome{st, out};
  }, "buffers");
  EXPECT_GT(failed, 5);
}

TEST(HeapFail, CharacterStreamsAndCollectors) {
  const int failed = tu::every_heap_call([] {
    std::string out;
    stream s{};
    int32_t st = cstream_str_set(&s, "say \"hi\" to \x83\x5C\x83\x5C");
    char* txt = nullptr;
    if (st == 0) st = cstream_to_vstr(&s, &txt);
    if (st == 0) out += txt;
    _free(&txt);
    stream n{};
    if (st == 0) st = cstream_int_set(&n, -2147483647 - 1);
    uint32_t* codes = nullptr;
    if (st == 0) st = cstream_to_vcstr(&n, &codes);
    for (size_t i = 0; st == 0 && codes[i] != 0; ++i) out += static_cast<char>(codes[i]);
    _free(&codes);
    return outcome{st, out};
  }, "character streams");
  EXPECT_GT(failed, 5);
}

TEST(HeapFail, SearchAndReplace) {
  const int failed = tu::every_heap_call([] {
    std::string out;
    stream i{}, f{}, p{}, s{};
    int32_t st = cstream_str_set(&i, "say \"hi\" to \"you\"");
    if (st == 0) st = cstream_str_set(&f, "\"");
    if (st == 0) st = cstream_str_set(&p, "\\\"");
    if (st == 0) st = cstream_replace(&s, &i, &f, &p);
    char* txt = nullptr;
    if (st == 0) st = cstream_to_vstr(&s, &txt);
    if (st == 0) out += txt;
    _free(&txt);
    // Whatever the failure left unconsumed is ended here (ending an ended stream does nothing).
    stream_end(&i);
    stream_end(&f);
    stream_end(&p);
    return outcome{st, out};
  }, "search and replace");
  EXPECT_GT(failed, 5);
}

TEST(HeapFail, TemplateFormatter) {
  const int failed = tu::every_heap_call([] {
    std::string out;
    vmap vm{};
    int32_t st = vmap_set(&vm, 0);
    if (st == 0) st = vmap_put_str_str(&vm, nullptr, "name", "phone \x83\x5C", 0);
    if (st == 0) st = vmap_put_str_int(&vm, nullptr, "n", -5, 0);
    const char* tpl = "cmd \"@name@\" @n@ @@";
    const char* cur = tpl;
    stream tb{}, tc{}, fmt{};
    stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&tc, &tb, &STREAM_OPS_SJIS);
    if (st == 0) st = vmap_fmt_stream(&fmt, &vm, &tc);
    char* line = nullptr;
    if (st == 0) st = cstream_to_vstr(&fmt, &line);
    if (st == 0) out += line;
    _free(&line);
    vmap_end(&vm);
    return outcome{st, out};
  }, "formatter");
  EXPECT_GT(failed, 5);
}

}  // namespace
