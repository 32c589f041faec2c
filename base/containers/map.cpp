#include "base/containers/map.h"

#include <cstring>

#include "base/diag/cvr.h"

namespace {

using byte = unsigned char;

// Links may sit at any byte offset, so they are only ever moved with memcpy.
inline void* lnk_ld(const byte* slot) {
  void* v;
  std::memcpy(&v, slot, sizeof v);
  return v;
}
inline void lnk_st(byte* slot, void* v) { std::memcpy(slot, &v, sizeof v); }

inline byte* at(void* n, int16_t ofs) { return static_cast<byte*>(n) + ofs; }
inline byte* lft(const map* m, void* n) { return at(n, m->lnk_l); }
inline byte* rgt(const map* m, void* n) { return at(n, m->lnk_r); }
inline byte* root_slot(map* m) { return reinterpret_cast<byte*>(&m->root); }

// The colour byte may share its other bits with the caller's data: only the red bit moves.
inline bool is_red(const map* m, void* n) { return (*at(n, m->clr_ofs) & m->red) != 0; }
inline void set_red(const map* m, void* n) { *at(n, m->clr_ofs) |= static_cast<byte>(m->red); }
inline void set_blk(const map* m, void* n) {
  *at(n, m->clr_ofs) &= static_cast<byte>(~m->red);
}

}  // namespace

int map_set(map* m, const map_ops* ops, void* arg, int16_t lnk_l, int16_t lnk_r, int16_t key_ofs,
            int16_t clr_ofs, uint16_t red) {
  m->root = nullptr;
  m->ops = ops;
  m->arg = arg;
  m->lnk_l = lnk_l;
  m->lnk_r = lnk_r;
  m->key_ofs = key_ofs;
  m->clr_ofs = clr_ofs;
  m->red = red;
  m->cmp_max = 0;
  m->cmp_cnt = 0;
  m->rtt_lck = 0;
  return 0;
}

int _map_get(map* m, const void* key, map_cur* cur) {
  m->cmp_cnt = 0;
  if (CVR(m->root == nullptr)) {
    cur->prv_lnk = nullptr;
    cur->lnk = root_slot(m);
    cur->flg &= ~MAP_CUR_FND;
    return 0;
  }
  if (CVR(is_red(m, m->root))) set_blk(m, m->root);

  const map_cmp_fn cmp = CVR(cur->cmp != nullptr) ? cur->cmp : m->ops->cmp;
  const bool rsm = CVR((cur->flg & MAP_CUR_RSM) != 0);
  byte* slot = root_slot(m);
  byte* prv = nullptr;
  if (CVR(rsm)) {
    slot = cur->lnk;
    prv = cur->prv_lnk;
  }
  uint32_t flg = cur->flg & ~MAP_CUR_FND;

  for (;;) {
    void* n = lnk_ld(slot);
    if (CVR(n == nullptr)) break;
    ++m->cmp_cnt;
    const int c = cmp(key, at(n, m->key_ofs), m->arg);
    byte* nxt;
    if (CVR(c > 0)) {
      nxt = rgt(m, n);
      flg |= MAP_CUR_RGT;
    } else if (CVR(c < 0)) {
      nxt = lft(m, n);
      flg &= ~MAP_CUR_RGT;
    } else {
      flg |= MAP_CUR_FND;
      break;
    }

    void* e = lnk_ld(nxt);
    if (CVR(e != nullptr && is_red(m, e) && m->rtt_lck == 0)) {
      void* l = lnk_ld(lft(m, n));
      void* r = lnk_ld(rgt(m, n));
      if (CVR(l != nullptr && r != nullptr && is_red(m, l) && is_red(m, r))) {
        set_red(m, n);
        set_blk(m, l);
        set_blk(m, r);
        prv = slot;
        slot = nxt;
        continue;
      }
      void* g = lnk_ld(lft(m, e));
      void* f = lnk_ld(rgt(m, e));
      const bool went_rgt = CVR((flg & MAP_CUR_RGT) != 0);
      bool rot_rgt;  // direction of the rotation at n
      if (CVR(g != nullptr && is_red(m, g))) {
        set_blk(m, e);
        set_blk(m, g);
        if (CVR(went_rgt)) {
          // Inner grandchild: straighten it out first.
          lnk_st(nxt, g);
          lnk_st(lft(m, e), lnk_ld(rgt(m, g)));
          lnk_st(rgt(m, g), e);
        }
        rot_rgt = !went_rgt;
      } else if (CVR(f != nullptr && is_red(m, f))) {
        set_blk(m, e);
        set_blk(m, f);
        if (CVR(!went_rgt)) {
          lnk_st(nxt, f);
          lnk_st(rgt(m, e), lnk_ld(lft(m, f)));
          lnk_st(lft(m, f), e);
        }
        rot_rgt = !went_rgt;
      } else {
        prv = slot;
        slot = nxt;
        continue;
      }
      void* t;
      if (CVR(rot_rgt)) {
        t = lnk_ld(lft(m, n));
        lnk_st(slot, t);
        lnk_st(lft(m, n), lnk_ld(rgt(m, t)));
        lnk_st(rgt(m, t), n);
      } else {
        t = lnk_ld(rgt(m, n));
        lnk_st(slot, t);
        lnk_st(rgt(m, n), lnk_ld(lft(m, t)));
        lnk_st(lft(m, t), n);
      }
      set_red(m, t);
      // The slot now holds t: examine it again rather than moving down.
      prv = slot;
      continue;
    }
    prv = slot;
    slot = nxt;
  }

  if (CVR(m->cmp_cnt > m->cmp_max)) m->cmp_max = m->cmp_cnt;
  cur->prv_lnk = prv;
  cur->lnk = slot;
  if (CVR(!rsm)) cur->cmp = nullptr;
  cur->flg = flg;
  return 0;
}

int map_get(map* m, const void* key, void** out) {
  map_cur cur{nullptr, nullptr, nullptr, 0};
  _map_get(m, key, &cur);
  if (CVR((cur.flg & MAP_CUR_FND) == 0)) return 1;
  if (CVR(out != nullptr)) *out = lnk_ld(cur.lnk);
  return 0;
}

int map_put(map* m, const void* data, void** out, int mode) {
  map_cur cur{nullptr, nullptr, nullptr, 0};
  _map_get(m, static_cast<const byte*>(data) + m->key_ofs, &cur);
  if (CVR((cur.flg & MAP_CUR_FND) != 0)) {
    void* n = lnk_ld(cur.lnk);
    if (CVR((mode & MAP_PUT_KEEP) != 0)) {
      if (CVR(out != nullptr)) *out = n;
      return 1;
    }
    if (CVR((mode & MAP_PUT_RPL) != 0)) {
      void* nn = nullptr;
      if (CVR(m->ops->mak(&nn, data, m->arg) != 0 || nn == nullptr)) return -1;
      lnk_st(lft(m, nn), lnk_ld(lft(m, n)));
      lnk_st(rgt(m, nn), lnk_ld(rgt(m, n)));
      if (CVR(is_red(m, n))) {
        set_red(m, nn);
      } else {
        set_blk(m, nn);
      }
      lnk_st(cur.lnk, nn);
      m->ops->del(n, m->arg);
    } else if (CVR(m->ops->cpy == nullptr || m->ops->cpy(n, data, m->arg) != 0)) {
      // A map without an update operation refuses in-place updates instead of crashing.
      return -1;
    }
  } else {
    if (CVR((mode & MAP_PUT_UPD) != 0)) return 1;
    void* nn = nullptr;
    if (CVR(m->ops->mak(&nn, data, m->arg) != 0 || nn == nullptr)) return -1;
    lnk_st(lft(m, nn), nullptr);
    lnk_st(rgt(m, nn), nullptr);
    set_red(m, nn);
    lnk_st(cur.lnk, nn);
  }
  if (CVR(out != nullptr)) *out = lnk_ld(cur.lnk);
  return 0;
}

int _map_del(map* m, map_cur* cur, const void* key) {
  byte* slot = cur->lnk;
  void* n = lnk_ld(slot);
  if (CVR((cur->flg & MAP_CUR_FND) == 0)) {
    if (CVR(n == nullptr)) return 1;
    const int c = m->ops->cmp(key, at(n, m->key_ofs), m->arg);
    if (CVR(c != 0)) {
      cur->prv_lnk = slot;
      if (CVR(c > 0)) {
        cur->lnk = rgt(m, n);
        cur->flg |= MAP_CUR_RGT;
      } else {
        cur->lnk = lft(m, n);
        cur->flg &= ~MAP_CUR_RGT;
      }
      _map_del(m, cur, key);
    } else {
      cur->flg |= MAP_CUR_FND;
      if (CVR(lnk_ld(lft(m, n)) == nullptr)) {
        lnk_st(slot, lnk_ld(rgt(m, n)));
      } else {
        // Two-sided: the in-order predecessor takes n's place.
        cur->flg |= MAP_CUR_RGT;
        cur->prv_lnk = slot;
        cur->lnk = lft(m, n);
        _map_del(m, cur, key);
        void* p = cur->lnk;
        lnk_st(slot, p);
        lnk_st(lft(m, p), lnk_ld(lft(m, n)));
        lnk_st(rgt(m, p), lnk_ld(rgt(m, n)));
      }
      m->ops->del(n, m->arg);
      n = lnk_ld(slot);
    }
  } else {
    if (CVR(n == nullptr)) {
      // The node in the previous slot is the extreme one: detach it.
      byte* ps = cur->prv_lnk;
      void* p = lnk_ld(ps);
      byte* rest = CVR((cur->flg & MAP_CUR_RGT) != 0) ? lft(m, p) : rgt(m, p);
      lnk_st(ps, lnk_ld(rest));
      lnk_st(rest, nullptr);
      if (CVR(!is_red(m, p))) cur->flg |= MAP_CUR_BLK;
      cur->lnk = static_cast<byte*>(p);
      return 0;
    }
    cur->prv_lnk = slot;
    cur->lnk = CVR((cur->flg & MAP_CUR_RGT) != 0) ? rgt(m, n) : lft(m, n);
    _map_del(m, cur, key);
  }
  // A black node went: the first red node on the way back absorbs the deficit.
  if (CVR((cur->flg & MAP_CUR_BLK) != 0 && n != nullptr && is_red(m, n))) {
    set_blk(m, n);
    void* l = lnk_ld(lft(m, n));
    void* r = lnk_ld(rgt(m, n));
    if (CVR(l != nullptr)) set_red(m, l);
    if (CVR(r != nullptr)) set_red(m, r);
    cur->flg &= ~MAP_CUR_BLK;
  }
  return 0;
}

int map_del(map* m, const void* key) {
  map_cur cur{nullptr, root_slot(m), nullptr, 0};
  _map_del(m, &cur, key);
  return CVR((cur.flg & MAP_CUR_FND) != 0) ? 0 : 1;
}

int _map_rng_fnc(map* m, unsigned char* slot, const void* key, map_cmp_fn cmp_rng,
                 int (*visit)(void* node, void* user), void* user) {
  void* n = lnk_ld(slot);
  if (CVR(n == nullptr)) return 0;
  for (int side = 0; CVR(side < 2); ++side) {
    byte* s = CVR(side == 0) ? lft(m, n) : rgt(m, n);
    if (CVR(lnk_ld(s) != nullptr)) {
      bool match = true;
      if (CVR(cmp_rng != nullptr)) {
        // Skip the non-matching top of the subtree: resume the search there.
        map_cur cur{slot, s, cmp_rng, MAP_CUR_RSM};
        _map_get(m, key, &cur);
        match = CVR((cur.flg & MAP_CUR_FND) != 0);
        s = cur.lnk;
      }
      if (CVR(match)) {
        if (CVR(_map_rng_fnc(m, s, key, cmp_rng, visit, user) != 0)) return 1;
      }
    }
    if (CVR(side == 0 && visit != nullptr)) {
      if (CVR(visit(n, user) != 0)) return 1;
    }
  }
  return 0;
}

int map_rng(map* m, const void* key, map_cmp_fn cmp_rng, int (*visit)(void* node, void* user),
            void* user) {
  map_cur cur{nullptr, root_slot(m), nullptr, 0};
  if (CVR(cmp_rng != nullptr)) {
    cur.cmp = cmp_rng;
    _map_get(m, key, &cur);
    if (CVR((cur.flg & MAP_CUR_FND) == 0)) return 1;
  }
  return _map_rng_fnc(m, cur.lnk, key, cmp_rng, visit, user);
}

int map_rtt_lck(map* m, int on) {
  if (CVR(on != 0)) {
    ++m->rtt_lck;
  } else {
    --m->rtt_lck;
  }
  return 0;
}

void __map_end(map* m, void* n) {
  if (CVR(n == nullptr)) return;
  void* l = lnk_ld(lft(m, n));
  void* r = lnk_ld(rgt(m, n));
  m->ops->del(n, m->arg);
  __map_end(m, l);
  __map_end(m, r);
}

void map_end(map* m) {
  __map_end(m, m->root);
  m->root = nullptr;
}
