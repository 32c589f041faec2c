// The splitter with the option parser's eleven patterns, and the parser's chain of three
// analyzers, over arbitrary text. Checked: no crash, no leak, every character of the text in
// exactly one token and in order, the end status at the end, every block given back.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <tuple>

#include "fuzz_util.h"

namespace {

struct pat {
  uint32_t typ;
  const char* txt;
};
constexpr pat PATTERNS[] = {{1, "[a-zA-Z0-9_]+"}, {2, "\\\\."}, {16, "#"},   {17, "/"},
                            {18, "="},            {19, "\""},   {788, "\\["}, {789, "\\]"},
                            {278, ";"},           {0x20000120, "\n"}, {0x20000021, "[ \t]+"}};

void patterns(struct txt_spr* s) {
  for (const pat& p : PATTERNS) {
    fz::cstr c(p.txt);
    if (txt_spr_psh_lst_regexp(s, p.typ, &c.cs, nullptr, nullptr, 0, nullptr, 0) != 0)
      std::abort();
  }
}

void rule(txt_anr* a, std::initializer_list<std::tuple<uint32_t, uint32_t, const char*>> f) {
  if (txt_anr_chk_add_lst(a, nullptr) != 0) std::abort();
  for (const auto& [k, v, t] : f)
    if (txt_anr_chk_add_fct(a, k, v, t, nullptr) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fz::upto_nul(data, size);
  if (text.size() > 4096) return 0;
  const size_t before = fz::blocks();
  err_no = 0;
  {
    fz::cstr in(text);
    struct txt_spr s{};
    if (txt_spr_set(&s, &in.cs) != 0) std::abort();
    patterns(&s);
    std::string all;
    txt_spr_tok t{};
    int32_t st;
    while ((st = txt_spr(&s, &t)) == 0) all += t.txt;
    if (st != ERR_END || all != fz::decoded(text)) std::abort();
    txt_spr_end(&s);
  }
  {
    fz::cstr in(text);
    struct txt_spr s{};
    txt_anr a1{}, a2{}, a3{};
    stream s1{}, s2{}, out{};
    if (txt_spr_set(&s, &in.cs) != 0) std::abort();
    patterns(&s);
    if (txt_anr_set(&a1, &s) != 0) std::abort();
    rule(&a1, {{0, 2, "\\\\n"}, {16, 0, nullptr}, {11, 1, "\n"}});
    rule(&a1, {{0, 2, "\\\\t"}, {16, 0, nullptr}, {11, 1, "\t"}});
    rule(&a1, {{0, 2, "\\\\\""}, {16, 0, nullptr}, {11, 1, "\""}});
    rule(&a1, {{0, 2, "\\\\\\\\"}, {16, 0, nullptr}, {11, 1, "\\"}});
    rule(&a1, {{0, 2, "\\\\/"}, {16, 0, nullptr}, {11, 1, "/"}});
    txt_anr_stream_set(&s1, &a1);
    if (_txt_anr_set(&a2, &s1) != 0) std::abort();
    rule(&a2, {{0, 19, nullptr}, {16, 0, nullptr}, {27, 0, nullptr}, {4, 0, nullptr},
               {3, 19, nullptr}, {16, 0, nullptr}, {28, 0, nullptr}, {29, 1, nullptr}});
    txt_anr_stream_set(&s2, &a2);
    if (_txt_anr_set(&a3, &s2) != 0) std::abort();
    rule(&a3, {{0, 0x20000021, nullptr}, {16, 0, nullptr}});
    rule(&a3, {{0, 0, nullptr}, {16, 0, nullptr}});
    txt_anr_stream_set(&out, &a3);
    txt_anr_elm e{};
    int32_t st;
    while ((st = stream_pop(&out, &e)) == 0) {
      if (e.txt == nullptr || (e.stt & TXT_ANR_ELM_HID) != 0 || e.typ == 0 || e.typ == 0x20000021)
        std::abort();
    }
    if (st != ERR_END) std::abort();
    stream_end(&out);
  }
  if (fz::blocks() != before) std::abort();
  return 0;
}
