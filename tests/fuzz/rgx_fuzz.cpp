// The compiler and the matcher over arbitrary pattern and text bytes. Input: one option byte
// (bit 0 longest, bit 1 anchored, bit 2 no fresh threads after the first character), the
// pattern, a NUL, the text. Checked: no crash, no leak, a sane match, every block given back,
// and on small cases the same state after every step as the unmerged run of every thread.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

struct seen {
  int32_t st;
  uint32_t stt, top, end, pos;
  bool live;
  bool operator!=(const seen& o) const {
    return st != o.st || stt != o.stt || top != o.top || end != o.end || pos != o.pos ||
           live != o.live;
  }
};

seen look(int32_t st, const txt_mtc_chk& c) {
  return {st, c.stt, c.mtc_top, c.mtc_end, c.pos, c.thd != nullptr};
}

std::vector<uint32_t> chars(const std::string& text) {
  fz::cstr s(text);
  std::vector<uint32_t> v;
  uint32_t c = 0;
  while (stream_pop(&s.cs, &c) == 0) v.push_back(c);
  return v;
}

void steps_agree(const std::string& pat, const std::vector<uint32_t>& in, uint32_t flags,
                 bool spr) {
  txt_mtc_chk a{}, b{};
  const uint32_t lit = flags | TXT_MTC_LIT;
  fz::cstr pa(pat), pb(pat);
  if (regexp_chk(&a, &pa.cs, &flags) != 0 || regexp_chk(&b, &pb.cs, &lit) != 0) std::abort();
  for (txt_mtc_chk* c : {&a, &b})
    c->stt = TXT_MTC_STT_BOL | ((flags & TXT_MTC_ANC) != 0 ? TXT_MTC_STT_ANC : 0);
  for (size_t k = 0; k <= in.size(); ++k) {
    const uint32_t ch = k < in.size() ? in[k] : 0;
    const int32_t ra = txt_mtc_wrd(&a, ch);
    const int32_t rb = txt_mtc_wrd(&b, ch);
    if (look(ra, a) != look(rb, b)) std::abort();
    if (spr) {
      a.flg |= TXT_MTC_NEW;
      b.flg |= TXT_MTC_NEW;
    }
    if (ra != 0) break;
  }
  txt_mtc_chk_end(&a);
  txt_mtc_chk_end(&b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t opt = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t nul = rest.find('\0');
  const std::string pat = rest.substr(0, nul);
  const std::string text =
      nul == std::string::npos ? std::string() : fz::upto_nul(data + 2 + nul, size - 2 - nul);
  if (pat.size() > 64 || text.size() > 512) return 0;
  uint32_t flags = TXT_MTC_DEF;
  if (opt & 1) flags |= TXT_MTC_LNG;
  if (opt & 2) flags |= TXT_MTC_ANC;
  const bool spr = (opt & 4) != 0;

  const size_t before = fz::blocks();
  err_no = 0;
  txt_mtc_chk c{};
  fz::cstr p(pat);
  const int32_t st = regexp_chk(&c, &p.cs, &flags);
  if (st != 0) {
    if (c.trm != nullptr || (st != 1 && st != -1)) std::abort();
    txt_mtc_chk_end(&c);
    if (fz::blocks() != before) std::abort();
    return 0;
  }
  fz::cstr in(text);
  const std::vector<uint32_t> cs = chars(text);
  const int32_t r = txt_mtc(&c, &in.cs);
  if (r == 0) {
    if ((c.stt & TXT_MTC_STT_MTC) == 0 || c.mtc_top > c.mtc_end || c.mtc_end > cs.size())
      std::abort();
  } else if (r != ERR_END && !(r == -1 && (flags & TXT_MTC_ANC) != 0)) {
    std::abort();
  }
  txt_mtc_chk_end(&c);

  // The unmerged run grows with the ways a pattern can match: compare on small cases only.
  size_t quant = 0;
  for (char ch : pat) quant += ch == '*' || ch == '+' || ch == '?' || ch == '{';
  if (cs.size() <= 12 && quant <= 6) steps_agree(pat, cs, flags, spr);
  if (fz::blocks() != before) std::abort();
  return 0;
}
