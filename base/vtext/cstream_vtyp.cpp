// Writers of one node: its value, its key with the path of its parents, a key-value pair.
#include <cstring>
#include <iterator>

#include "base/containers/buf.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/rscmng.h"
#include "base/diag/stkptr.h"
#include "base/stream/cstream.h"
#include "base/vtext/cstream_vmap.h"

namespace {

constexpr char TABS[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
constexpr uint32_t TABS_LEN = sizeof TABS - 1;

// A stream object in the caller's frame goes to the end of the chain, which takes its contents
// over (the object needs no block of its own); ended when the chain cannot take it.
int loc_psh(stream* out, stream* s) {
  if (CVR(stream_psh(out, s) != 0)) {
    const int32_t e = err_no;
    stream_end(s);
    err_no = e;
    return -1;
  }
  return 0;
}

// The same for the stream a constructor left in the hand-over slot.
int mbr_psh(stream* out) {
  auto* s = static_cast<stream*>(stkptr(nullptr, nullptr));
  if (CVR(s == nullptr)) return -1;
  return loc_psh(out, s);
}

// Read back as one word only: ASCII letters, digits and underscores, at least one. A
// Shift-JIS trail byte that looks like a letter follows a lead byte, which is none of these.
bool is_wrd(const char* t) {
  if (CVR(*t == '\0')) return false;
  for (; CVR(*t != '\0'); ++t) {
    const auto c = static_cast<unsigned char>(*t);
    if (CVR(!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_')))
      return false;
  }
  return true;
}

// Whether the text decodes to characters to its end: a Shift-JIS lead byte that ends it would
// be dropped by the decoder, and the text read back would be another (or another's key).
bool whole(const char* t) {
  for (; CVR(*t != '\0'); ++t) {
    if (CVR(sjis_lead(static_cast<unsigned char>(*t)))) {
      if (CVR(t[1] == '\0')) return false;
      ++t;
    }
  }
  return true;
}

struct esc {
  const char* fnd;
  const char* rep;
};
// The backslash first, so that the backslashes the later ones add are not doubled.
constexpr esc ESCAPES[] = {{"\\", "\\\\"}, {"\"", "\\\""}, {"\n", "\\n"}};

// A text between quotes, with its backslashes, quotes and line feeds escaped. Only the
// replacements whose character the text holds are made: a byte scan finds every such
// character (and at worst a Shift-JIS trail byte that looks like one, which the replacement,
// reading characters, then leaves alone).
int quo_wr(stream* out, const char* t) {
  bool need[std::size(ESCAPES)];
  bool any = false;
  for (size_t i = 0; CVR(i < std::size(ESCAPES)); ++i) {
    need[i] = CVR(std::strchr(t, ESCAPES[i].fnd[0]) != nullptr);
    any |= need[i];
  }
  if (CVR(__cstream_vtyp_txt(out, "\"") != 0)) return -1;
  if (CVR(!any)) {
    stream cs{};
    if (CVR(cstream_str_set(&cs, t) != 0 || loc_psh(out, &cs) != 0)) return -1;
    return __cstream_vtyp_txt(out, "\"");
  }
  if (CVR(cstream_str_set(nullptr, t) != 0)) return -1;
  auto* in = static_cast<stream*>(stkptr(nullptr, nullptr));
  for (size_t i = 0; CVR(i < std::size(ESCAPES)); ++i) {
    if (CVR(!need[i])) continue;
    // The pattern and the replacement are read by the call: streams built here will do.
    const char* fc = ESCAPES[i].fnd;
    const char* rc = ESCAPES[i].rep;
    stream fb{}, fs{}, rb{}, rs{};
    stream_set(&fb, &fc, &STREAM_OPS_STR_CUR);
    stream_set(&fs, &fb, &STREAM_OPS_SJIS);
    stream_set(&rb, &rc, &STREAM_OPS_STR_CUR);
    stream_set(&rs, &rb, &STREAM_OPS_SJIS);
    if (CVR(cstream_replace(nullptr, in, &fs, &rs) != 0)) {
      const int32_t st = err_no;
      stream_end(in);
      err_no = st;
      return -1;
    }
    in = static_cast<stream*>(stkptr(nullptr, nullptr));
  }
  stkptr(in, __stream_end_src);
  if (CVR(mbr_psh(out) != 0)) return -1;
  return __cstream_vtyp_txt(out, "\"");
}

int val_wr(stream* out, const vtyp* node, const cstream_vtyp_opt* opt) {
  if (CVR(node == nullptr || opt == nullptr || opt->fmt >= CSTREAM_VTYP_FMT_END)) return -1;
  vtyp_lay l;
  __vtyp_lay(node, &l);
  const int knd = l.typ & VTYP_KND_MSK;
  const void* v = __vtyp_val_src(node, l);
  // Only values held in the node itself (a growable buffer's text is not one).
  if (CVR(v == nullptr || (l.ext & VTYP_STG_MSK) != VTYP_PRM)) return -1;
  if (CVR(knd == VTYP_INT)) {
    int32_t n;
    std::memcpy(&n, v, sizeof n);
    // A minus sign is no token of the notation and would be dropped on reading: quoted, the
    // number reads back as its text.
    const bool neg = n < 0;
    if (CVR(neg && __cstream_vtyp_txt(out, "\"") != 0)) return -1;
    stream cs{};
    if (CVR(cstream_int_set(&cs, n) != 0 || loc_psh(out, &cs) != 0)) return -1;
    if (CVR(neg && __cstream_vtyp_txt(out, "\"") != 0)) return -1;
    return 0;
  }
  if (CVR(knd != VTYP_STR)) return -1;
  const auto* t = static_cast<const char*>(v);
  if (CVR(!whole(t))) return -1;
  if (CVR(is_wrd(t))) return __cstream_vtyp_txt(out, t);
  return quo_wr(out, t);
}

int key_wr(stream* out, const vtyp* key, const cstream_vtyp_opt* opt) {
  if (CVR(key == nullptr || opt == nullptr)) return -1;
  if (CVR(__cstream_vtyp_tab(out, opt->ind) != 0)) return -1;
  vtyp* prn = nullptr;
  if (CVR(!(opt->flg & CSTREAM_VTYP_GRP) && vtyp_get_nst(key, &prn) == 0 && prn != nullptr)) {
    // The parents from the key upwards, then written from the outermost down.
    __VARBUF(stk, sizeof(vtyp*));
    int r = 0;
    for (vtyp* p = prn; CVR(p != nullptr);) {
      if (CVR(buf_psh(stk, &p) != 0)) {
        r = -1;
        break;
      }
      if (CVR(vtyp_get_nst(p, &p) != 0)) p = nullptr;
    }
    for (auto i = static_cast<uint32_t>(__VARBUF_stk.len); CVR(r == 0 && i > 0); --i) {
      vtyp* p = nullptr;
      if (CVR(buf_get(stk, i - 1, &p) != 0 || val_wr(out, p, opt) != 0 ||
              __cstream_vtyp_txt(out, "/") != 0))
        r = -1;
    }
    const int32_t st = err_no;
    buf_end(stk);
    err_no = st;
    if (CVR(r != 0)) return -1;
  }
  return val_wr(out, key, opt);
}

int pr_wr(stream* out, const vtyp* key, const cstream_vtyp_opt* opt) {
  if (CVR(key_wr(out, key, opt) != 0)) return -1;
  vtyp* val = nullptr;
  const int r = vtyp_get_lnk(key, &val, 0);
  if (CVR(r < 0)) return -1;
  // A key without value (or without a link slot for one) reads back from its word alone.
  if (CVR(r != 0 || val == nullptr)) return 0;
  if (CVR(__cstream_vtyp_txt(out, "=") != 0)) return -1;
  return val_wr(out, val, opt);
}

// Runs a writer on out, or on a new chain that goes to the hand-over slot when out is NULL.
template <class F>
int run(stream* out, F wr) {
  stream* o = out;
  if (CVR(o == nullptr)) {
    if (CVR(stream_chain(nullptr) != 0)) return __stream_fail();
    o = static_cast<stream*>(stkptr(nullptr, nullptr));
  }
  if (CVR(__cstream_vtyp_chn(o) != 0 || wr(o) != 0)) {
    if (CVR(out == nullptr)) {
      const int32_t st = err_no;
      stream_end(o);
      err_no = st;
    }
    return __stream_fail();
  }
  if (CVR(out == nullptr)) stkptr(o, __stream_end_src);
  return err_ok();
}

}  // namespace

int __cstream_vtyp_chn(stream* out) {
  rscmng_scp scp;
  if (CVR(out == nullptr)) return __stream_fail();
  if (CVR((out->flg & STREAM_BND) && out->ops == &STREAM_OPS_CHAIN)) {
    // A drained chain refuses pops until it is rewound; it takes members again.
    out->flg &= ~STREAM_END;
    return err_ok();
  }
  if (CVR(!(out->flg & STREAM_BND))) return stream_chain(out);
  // Some other stream: it becomes the chain's first member. The object stays the caller's.
  stream old = *out;
  const uintptr_t own = old.flg & STREAM_OWN;
  old.flg &= ~STREAM_OWN;
  if (CVR(stream_chain(out) != 0)) {
    *out = old;
    out->flg |= own;
    return __stream_fail();
  }
  out->flg |= own;
  if (CVR(stream_psh(out, &old) != 0)) {
    // The chain could not take it: back to what it was.
    const int32_t st = err_no;
    out->flg &= ~STREAM_OWN;
    stream_end(out);
    *out = old;
    out->flg |= own;
    err_no = st;
    return __stream_fail();
  }
  return err_ok();
}

int __cstream_vtyp_txt(stream* out, const char* txt) {
  rscmng_scp scp;
  stream cs{};
  if (CVR(cstream_str_set(&cs, txt) != 0 || loc_psh(out, &cs) != 0)) return __stream_fail();
  return err_ok();
}

int __cstream_vtyp_tab(stream* out, uint32_t n) {
  rscmng_scp scp;
  while (CVR(n > 0)) {
    const uint32_t k = CVR(n < TABS_LEN) ? n : TABS_LEN;
    if (CVR(__cstream_vtyp_txt(out, TABS + (TABS_LEN - k)) != 0)) return __stream_fail();
    n -= k;
  }
  return err_ok();
}

int cstream_vtyp(stream* out, const vtyp* node, const cstream_vtyp_opt* opt) {
  rscmng_scp scp;
  return run(out, [&](stream* o) { return val_wr(o, node, opt); });
}

int cstream_vtyp_key(stream* out, const vtyp* key, const cstream_vtyp_opt* opt) {
  rscmng_scp scp;
  return run(out, [&](stream* o) { return key_wr(o, key, opt); });
}

int cstream_vtyp_pr(stream* out, const vtyp* key, const cstream_vtyp_opt* opt) {
  rscmng_scp scp;
  return run(out, [&](stream* o) { return pr_wr(o, key, opt); });
}
