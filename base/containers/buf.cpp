#include "base/containers/buf.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"

namespace {

constexpr const char* wrd_txt[4] = {
    "REF(((uintptr_t*)(buf))[-(0+1)])",
    "REF(((uintptr_t*)(buf))[-(1+1)])",
    "REF(((uintptr_t*)(buf))[-(2+1)])",
    "REF(((uintptr_t*)(buf))[-(3+1)])",
};
constexpr uint32_t WRD_SIZ = sizeof(uintptr_t);
constexpr uint32_t LNK = sizeof(void*);   // the link word in front of a linked element
constexpr uintptr_t LNK_KIND = BUF_PTR | BUF_LNK;
constexpr uint32_t LAST = 0xFFFFFFFFu;     // linked index: the last element

static_assert(sizeof(buf_var) == 5 * sizeof(uintptr_t));
static_assert(offsetof(buf_var, _p) == 4 * sizeof(uintptr_t) &&
              offsetof(buf_var, siz) == 3 * sizeof(uintptr_t) &&
              offsetof(buf_var, flg) == 0);
static_assert((BUF_EXP_MSK >> BUF_EXP_SHF) == 0x3F);

// A header word or the handle word. A buffer variable may sit at any address (inside a
// packed variant node), so the words are read and written through memcpy.
template <class T>
class unal {
 public:
  explicit unal(void* p) : p_(static_cast<unsigned char*>(p)) {}
  operator T() const {
    T v;
    std::memcpy(&v, p_, sizeof v);
    return v;
  }
  unal& operator=(T v) {
    std::memcpy(p_, &v, sizeof v);
    return *this;
  }
  unal& operator=(const unal& o) { return *this = static_cast<T>(o); }
  unal& operator|=(T v) { return *this = static_cast<T>(*this) | v; }
  unal& operator&=(T v) { return *this = static_cast<T>(*this) & v; }
  unal& operator++() { return *this = static_cast<T>(*this) + 1; }
  unal& operator--() { return *this = static_cast<T>(*this) - 1; }

 private:
  unsigned char* p_;
};

// Registers header word k for the current scope and hands it out. A registration holds
// until the scope closes, so one per word and scope covers every access the operation makes.
unal<uintptr_t> wrd(void* buf, int k, int line) {
  void* w = static_cast<unsigned char*>(buf) - (k + 1) * WRD_SIZ;
  rscmng_psh(nullptr, w, WRD_SIZ, rscmng_lvl(), __FILE__, line, "", wrd_txt[k]);
  return unal<uintptr_t>(w);
}
#define WRD(buf, k) wrd((buf), (k), __LINE__)

unal<void*> hnd(void* buf) { return unal<void*>(buf); }
inline unsigned char* bytes(void* p) { return static_cast<unsigned char*>(p); }

inline bool is_lnk(uintptr_t flg) { return (flg & LNK_KIND) == LNK_KIND; }

void* lnk_get(const void* el) {
  void* nxt;
  std::memcpy(&nxt, static_cast<const unsigned char*>(el) - LNK, sizeof nxt);
  return nxt;
}
void lnk_set(void* el, void* nxt) {
  std::memcpy(static_cast<unsigned char*>(el) - LNK, &nxt, sizeof nxt);
}
void* node_of(void* el) { return static_cast<unsigned char*>(el) - LNK; }

// Before an element is copied, the element and the caller's memory are registered for the
// scope.
void reg_cpy(const void* elm, const void* fct, uintptr_t siz, int line) {
  const uint32_t n = static_cast<uint32_t>(siz);
  rscmng_psh(nullptr, const_cast<void*>(elm), n, rscmng_lvl(), __FILE__, line, "", "PTR(ptr)");
  rscmng_psh(nullptr, const_cast<void*>(fct), n, rscmng_lvl(), __FILE__, line, "", "PTR(fct)");
}

// New storage of 2^e elements for a growable array; the old block moves with realloc.
// Returns NULL (and leaves the buffer and its registration as they were) on failure.
void* grow(void* old, uintptr_t siz, uint32_t e_old, uint32_t e_new) {
  // Sizes are registered as 32-bit counts: a larger block counts as heap exhaustion.
  if (CVR(e_new >= 32 || siz > (0xFFFFFFFFu >> e_new))) return nullptr;
  const uint32_t bytes = static_cast<uint32_t>(siz << e_new);
  if (CVR(old == nullptr))
    return rscmng_psh(nullptr, heap_alc(bytes), bytes, 0, __FILE__, __LINE__, "buf_ref",
                      "malloc");
  const uintptr_t kept = reinterpret_cast<uintptr_t>(old);
  rscmng_del(nullptr, old, 0, __FILE__, __LINE__, "buf_ref", "realloc");
  void* p = heap_rea(old, bytes);
  if (CVR(p == nullptr)) {
    // A failed realloc leaves the old block ours: keep it known.
    rscmng_psh(nullptr, reinterpret_cast<void*>(kept), static_cast<uint32_t>(siz << e_old), 0,
               __FILE__, __LINE__, "buf_ref", "realloc");
    return nullptr;
  }
  return rscmng_psh(nullptr, p, bytes, 0, __FILE__, __LINE__, "buf_ref", "realloc");
}

}  // namespace

int buf_ref(void* buf, uint32_t index, uint32_t n, void** out) {
  rscmng_scp scp;
  auto flg = WRD(buf, BUF_FLG);
  auto len = WRD(buf, BUF_LEN);
  // Wide, so that index + n cannot wrap round to a small count.
  const uint64_t a = uint64_t{index} + n;

  if (CVR(is_lnk(flg))) {
    if (CVR(len == 0)) return err_fail();
    void* el;
    if (CVR(index == LAST)) {
      el = reinterpret_cast<void*>(static_cast<uintptr_t>(WRD(buf, BUF_POS)));
    } else {
      el = hnd(buf);
      for (uint32_t i = 0; CVR(i < index && el != nullptr); ++i) el = lnk_get(el);
    }
    if (CVR(el == nullptr)) flg |= BUF_END;
    *out = el;
    return err_ok();
  }

  const uintptr_t siz = WRD(buf, BUF_SIZ);
  if (CVR(!(flg & BUF_PTR))) {
    if (CVR(len < a)) return err_fail();
    *out = static_cast<unsigned char*>(buf) + uintptr_t{index} * siz;
    return err_ok();
  }

  auto p = hnd(buf);
  if (CVR(len < a)) {
    if (CVR(!(flg & BUF_VAR))) return err_fail();
    const uint32_t e = static_cast<uint32_t>((flg & BUF_EXP_MSK) >> BUF_EXP_SHF);
    if (CVR(p == nullptr || (uint64_t{1} << e) < a)) {
      // At least one step up, then up to the first power of two holding a elements.
      const uint32_t e_new = std::max<uint32_t>(e + 1, std::bit_width(a - 1));
      void* np = grow(p, siz, e, e_new);
      if (CVR(np == nullptr)) return err_fail();
      p = np;
      flg = (flg & ~BUF_EXP_MSK) | (uintptr_t{e_new} << BUF_EXP_SHF);
    }
    len = a;
  }
  if (CVR(p == nullptr)) return err_fail();
  *out = bytes(p) + uintptr_t{index} * siz;
  return err_ok();
}

int buf_psh(void* buf, const void* src) {
  TMR_SEC();
  rscmng_scp scp;
  auto flg = WRD(buf, BUF_FLG);
  if (CVR(flg & BUF_END)) return err_no = ERR_END;
  const uintptr_t siz = WRD(buf, BUF_SIZ);
  auto len = WRD(buf, BUF_LEN);
  auto pos = WRD(buf, BUF_POS);
  const bool lnk = is_lnk(flg);

  uint32_t idx;
  if (CVR(lnk)) {
    const uint64_t bytes = uint64_t{siz} + LNK;
    if (CVR(bytes > 0xFFFFFFFFu)) return err_fail();
    void* node = rscmng_psh(nullptr, heap_alc(bytes),
                            static_cast<uint32_t>(bytes), 0,
                            __FILE__, __LINE__, "buf_psh", "malloc");
    if (CVR(node == nullptr)) return err_fail();
    void* el = static_cast<unsigned char*>(node) + LNK;
    auto p = hnd(buf);
    if (CVR(flg & BUF_QUE)) {
      lnk_set(el, nullptr);
      if (CVR(pos == 0))
        p = el;
      else
        lnk_set(reinterpret_cast<void*>(static_cast<uintptr_t>(pos)), el);
      pos = reinterpret_cast<uintptr_t>(el);
      idx = LAST;
    } else {
      lnk_set(el, p);
      p = el;
      idx = 0;
    }
    ++len;
  } else {
    idx = static_cast<uint32_t>(pos);
  }

  void* el = nullptr;
  if (CVR(buf_ref(buf, idx, 1, &el) != 0 || el == nullptr)) return err_fail();
  reg_cpy(el, src, siz, __LINE__);
  std::memcpy(el, src, siz);

  if (CVR(!lnk)) {
    ++pos;
    if (CVR(pos >= len && !(flg & BUF_VAR))) flg |= BUF_END;   // full
  }
  return err_ok();
}

int buf_pop(void* buf, void* dst) {
  TMR_SEC();
  rscmng_scp scp;
  auto flg = WRD(buf, BUF_FLG);
  if (CVR(flg & BUF_END)) return err_no = ERR_END;
  const uintptr_t siz = WRD(buf, BUF_SIZ);
  auto len = WRD(buf, BUF_LEN);
  auto pos = WRD(buf, BUF_POS);
  const bool lnk = is_lnk(flg);

  const uintptr_t idx = CVR(lnk) ? 0 : static_cast<uintptr_t>(pos);
  if (CVR(idx >= len)) {
    flg |= BUF_END;
    return err_no = ERR_END;
  }
  void* el = nullptr;
  if (CVR(buf_ref(buf, static_cast<uint32_t>(idx), 1, &el) != 0 || el == nullptr))
    return err_fail();
  reg_cpy(el, dst, siz, __LINE__);
  std::memcpy(dst, el, siz);

  if (CVR(lnk)) {
    auto p = hnd(buf);
    p = lnk_get(el);
    rscmng_del(nullptr, node_of(el), 0, __FILE__, __LINE__, "buf_pop", "free");
    heap_fre(node_of(el));
    --len;
    if (CVR((flg & BUF_QUE) && p == nullptr)) pos = 0;
  } else {
    ++pos;
    // The read of the last element succeeds; the next pop reports the end.
    if (CVR(pos >= len)) flg |= BUF_END;
  }
  return err_ok();
}

int buf_get(void* buf, uint32_t index, void* dst) {
  rscmng_scp scp;
  void* el = nullptr;
  if (CVR(buf_ref(buf, index, 1, &el) != 0)) return err_fail();
  // A linked buffer yields no element past its end: nothing to copy.
  if (CVR(el == nullptr)) return err_no = ERR_END;
  const uintptr_t siz = WRD(buf, BUF_SIZ);
  reg_cpy(el, dst, siz, __LINE__);
  std::memcpy(dst, el, siz);
  return err_ok();
}

int buf_rst(void* buf) {
  rscmng_scp scp;
  auto flg = WRD(buf, BUF_FLG);
  if (CVR(!is_lnk(flg))) WRD(buf, BUF_POS) = 0;
  flg &= ~BUF_END;
  return err_ok();
}

void buf_end(void* buf) {
  rscmng_scp scp;
  const uintptr_t flg = WRD(buf, BUF_FLG);
  if (CVR(!(flg & BUF_PTR))) return;   // inline: nothing owned
  auto p = hnd(buf);
  if (CVR(is_lnk(flg))) {
    for (void* el = p; CVR(el != nullptr);) {
      void* nxt = lnk_get(el);
      rscmng_del(nullptr, node_of(el), 0, __FILE__, __LINE__, "buf_end", "free");
      heap_fre(node_of(el));
      el = nxt;
    }
    p = nullptr;
    // An emptied list must not keep a count or a last element that point at freed nodes.
    WRD(buf, BUF_LEN) = 0;
    WRD(buf, BUF_POS) = 0;
  } else if (CVR((flg & BUF_VAR) && p != nullptr)) {
    rscmng_del(nullptr, p, 0, __FILE__, __LINE__, "buf_end", "free");
    heap_fre(p);
    p = nullptr;
  }
}

int _buf_vptr(void* buf, void* out) {
  rscmng_scp scp;
  const uintptr_t flg = WRD(buf, BUF_FLG);
  void* moved = nullptr;
  // Only an array's storage is one block a new owner can free; an inline buffer has none
  // and a list's nodes are separate.
  if (CVR((flg & BUF_PTR) && !is_lnk(flg))) {
    moved = hnd(buf);
    hnd(buf) = nullptr;
  }
  std::memcpy(out, &moved, sizeof moved);
  if (CVR(moved == nullptr)) return err_no = ERR_FAIL;
  return err_ok();
}

int buf_ini(void* buf, uint32_t siz) {
  rscmng_scp scp;
  hnd(buf) = nullptr;
  WRD(buf, BUF_SIZ) = siz;
  WRD(buf, BUF_LEN) = 0;
  WRD(buf, BUF_POS) = 0;
  WRD(buf, BUF_FLG) = BUF_PTR | BUF_VAR;
  return err_ok();
}

void* __buf_dcl(buf_var* rec, uintptr_t siz, uintptr_t flg, const char* rec_txt,
                const char* siz_txt, const char* len_txt, const char* pos_txt,
                const char* flg_txt, const char* file, int line) {
  // No scope of its own: the registrations belong to the declaring scope.
  const uint32_t lvl = rscmng_lvl();
  rscmng_psh(nullptr, rec, sizeof *rec, lvl, file, line, "", rec_txt);
  rscmng_psh(nullptr, &rec->siz, WRD_SIZ, lvl, file, line, "", siz_txt);
  rec->siz = siz;
  rscmng_psh(nullptr, &rec->len, WRD_SIZ, lvl, file, line, "", len_txt);
  rec->len = 0;
  rscmng_psh(nullptr, &rec->pos, WRD_SIZ, lvl, file, line, "", pos_txt);
  rec->pos = 0;
  rscmng_psh(nullptr, &rec->flg, WRD_SIZ, lvl, file, line, "", flg_txt);
  rec->flg = flg;
  rec->_p = nullptr;
  return &rec->_p;
}
