#include "app/dev_chk.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/cmd_run.h"
#include "app/opt.h"
#include "app/scoped.h"
#include "app/tim.h"
#include "base/base.h"
#include "platform/bluetooth.h"
#include "platform/crt_text.h"

namespace {

constexpr size_t ADR_CAP = 32;
constexpr size_t KEY_CAP = 256;
constexpr size_t ADR_LEN = 12;
// The name is cut so that "<address>-<name>" fits the key buffer with its terminator.
constexpr size_t NAM_CAP = KEY_CAP - ADR_LEN - 1;

void line_end() { std::fflush(stdout); }

void tim_line(const char* key) {
  std::printf("%s/time=\"", key);
  tim_prt();
  std::printf("\"\n");
  line_end();
}

void cnt_line(const char* key, const char* what, int32_t n) {
  std::printf("%s/%s/count=%d\n", key, what, n);
  line_end();
  if (opt_rcd.dbgtim) tim_line(key);
}

void state_line(const char* key, const char* st) {
  if (opt_rcd.dbgtim && !opt_rcd.dbgcnt) tim_line(key);
  std::printf("%s=%s\n", key, st);
  line_end();
}

bool txt_is(vmap* tbl, vtyp* prn, const char* key, const char* want) {
  const char* v = nullptr;
  return scoped([&] { return vmap_get_str_str(tbl, prn, key, &v); }) == 0 && std::strcmp(v, want) == 0;
}

// An entry's own state text is its linked value (the device table holds texts only): read it
// there instead of looking the key up again.
bool val_is(vtyp* ent, const char* want) {
  void* v = nullptr;
  return scoped([&] { return vtyp_ref_lnk_val(ent, 0, &v); }) == 0 && std::strcmp(static_cast<const char*>(v), want) == 0;
}

int32_t cnt_of(vmap* tbl, vtyp* ent) {
  int32_t n = 0;
  if (scoped([&] { return vmap_get_str_int(tbl, ent, "cnt", &n); }) != 0) n = 0;
  return n;
}

bool put_int(vmap* tbl, vtyp* ent, const char* key, int32_t v) {
  return scoped([&] { return vmap_put_str_int(tbl, ent, key, v, 0); }) == 0;
}

bool put_txt(vmap* tbl, vtyp* ent, const char* key, const char* v) {
  return scoped([&] { return vmap_put_str_str(tbl, ent, key, v, 0); }) == 0;
}

bool run_cmd(const char* adr, const char* nam, const char* st) {
  if (!opt_rcd.cmd_use) return true;
  const bool on = std::strcmp(st, "ON") == 0;
  const char* tpl = on ? opt_rcd.cmdon : opt_rcd.cmdoff;
  if (tpl == nullptr || *tpl == '\0') return true;
  return scoped([&] { return cmd_run(adr, nam, st, tpl); }) == 0;
}

// The seen marks of a pass. A device handled in the enumeration has its "chk" set to "OK" and
// the sweep sets it back to "-", so after every whole pass each mark reads "-" again. Most
// devices are seen pass after pass: writing both marks would be two searches and two value
// replacements per device per pass. So a handled entry is only noted here, and its mark is
// written only where the table would differ otherwise: when the pass ends early (the notes are
// written out as "OK", as each would have been), and for the entries whose "OK" was stored.
class seen_set {
 public:
  // Notes ent; ok: its "OK" was stored. False when the set cannot grow: the caller then writes
  // the mark itself, as the steps do.
  bool add(vtyp* ent, bool ok) {
    if (2 * (n_ + 1) > cap_ && !grow()) return false;
    const uintptr_t v = reinterpret_cast<uintptr_t>(ent) | static_cast<uintptr_t>(ok);
    for (size_t i = at(ent);; i = (i + 1) & (cap_ - 1)) {
      if (slot_[i] == 0 || (slot_[i] & ~uintptr_t{1}) == reinterpret_cast<uintptr_t>(ent)) {
        n_ += slot_[i] == 0;
        slot_[i] |= v;
        return true;
      }
    }
  }
  // Whether ent was noted (its "OK" stored into *ok), forgetting it.
  bool take(vtyp* ent, bool* ok) {
    if (n_ == 0) return false;
    for (size_t i = at(ent); slot_[i] != 0; i = (i + 1) & (cap_ - 1)) {
      if ((slot_[i] & ~uintptr_t{1}) == reinterpret_cast<uintptr_t>(ent)) {
        *ok = (slot_[i] & 1) != 0;
        slot_[i] = GONE;
        --n_;
        return true;
      }
    }
    return false;
  }
  // Every entry still noted, then none.
  template <class F>
  void drain(F&& f) {
    for (size_t i = 0; i < cap_; ++i) {
      const uintptr_t v = slot_[i];
      if (v != 0 && v != GONE) f(reinterpret_cast<vtyp*>(v & ~uintptr_t{1}));
      slot_[i] = 0;
    }
    n_ = 0;
  }
  void clear() {
    if (cap_ != 0) std::memset(slot_, 0, cap_ * sizeof *slot_);
    n_ = 0;
  }

 private:
  static constexpr uintptr_t GONE = 1;   // a taken entry: probing goes past it
  size_t at(const vtyp* e) const {
    return (reinterpret_cast<uintptr_t>(e) * 0x9E3779B97F4A7C15ull >> 20) & (cap_ - 1);
  }
  // From the heap the library takes its blocks from, so that a failing allocation reaches it
  // too; the set lives as long as the process.
  bool grow() {
    const size_t cap = std::max<size_t>(64, 4 * cap_);
    auto* s = static_cast<uintptr_t*>(heap_alc0(cap, sizeof(uintptr_t)));
    if (s == nullptr) return false;
    uintptr_t* old = slot_;
    const size_t old_cap = cap_;
    slot_ = s;
    cap_ = cap;
    n_ = 0;
    for (size_t i = 0; i < old_cap; ++i)
      if (old[i] != 0 && old[i] != GONE) add(reinterpret_cast<vtyp*>(old[i] & ~uintptr_t{1}), (old[i] & 1) != 0);
    heap_fre(old);
    return true;
  }
  uintptr_t* slot_ = nullptr;
  size_t cap_ = 0;
  size_t n_ = 0;
};

seen_set seen;
// The last pass ended early, or a note could not be kept: marks may read "OK", so the sweep
// reads every mark.
bool marks_stale = false;

// Writes the marks of the entries still noted, as the pass would have left them; the next
// sweep reads the marks.
void pass_cut(vmap* tbl) {
  seen.drain([&](vtyp* ent) { put_txt(tbl, ent, "chk", "OK"); });
  marks_stale = true;
}

// Step 2 for one reported device; false ends the pass.
bool dev_one(vmap* tbl, const BLUETOOTH_DEVICE_INFO& inf) {
  char adr[ADR_CAP];
  char nam[NAM_CAP];
  char key[KEY_CAP];
  const BYTE* b = inf.Address.rgBytes;
  std::snprintf(adr, sizeof adr, "%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
  crt_ls_cnv(nam, sizeof nam, inf.szName, BLUETOOTH_MAX_NAME_SIZE);
  std::snprintf(key, sizeof key, "%.12s-%s", adr, nam);

  vtyp* ent = nullptr;
  const bool have = scoped([&] { return vmap_ref_str(tbl, nullptr, key, &ent); }) == 0;
  const int32_t c = opt_rcd.c;
  bool changed;
  const char* st;
  if (inf.fConnected || !inf.fRemembered) {
    changed = !(have && val_is(ent, "ON"));
    st = "ON";
    if (have && cnt_of(tbl, ent) != c) {
      if (!put_int(tbl, ent, "cnt", c)) return false;
      if (opt_rcd.dbgcnt) cnt_line(key, "set", c);
    }
  } else {
    changed = have && val_is(ent, "ON");
    st = "OFF";
    if (have) {
      int32_t n = cnt_of(tbl, ent);
      if (n != 0) {
        changed = false;
        --n;
        if (!put_int(tbl, ent, "cnt", n)) return false;
        if (opt_rcd.dbgcnt) cnt_line(key, "down", n);
      }
    }
  }
  if (!changed) {
    // "chk" = "OK", written only if the pass ends early; where the note cannot be kept, the
    // mark is written and the sweep reads the marks.
    if (!have || seen.add(ent, false)) return true;
    marks_stale = true;
    return put_txt(tbl, ent, "chk", "OK");
  }

  if (scoped([&] { return _vmap_put_str_str(tbl, nullptr, key, st, &ent, 0); }) != 0) return false;
  if (!put_txt(tbl, ent, "chk", "OK")) return false;
  // Not noted, the stored "OK" is found by the sweep reading the marks.
  if (!seen.add(ent, true)) marks_stale = true;
  if (!have) {
    if (!put_int(tbl, ent, "cnt", c)) return false;
    if (opt_rcd.dbgcnt) cnt_line(key, "set", c);
  }
  if (opt_rcd.fp) state_line(key, st);
  return run_cmd(adr, nam, st);
}

// Step 4 for one entry; false ends the pass.
bool swp_one(vmap* tbl, vtyp* ent) {
  bool ok = false;
  if (seen.take(ent, &ok)) {
    // Handled in this pass: its mark goes back to "-" where "OK" was stored (or may be).
    return !(ok || marks_stale) || put_txt(tbl, ent, "chk", "-");
  }
  // Not handled: only a pass that ended early can have left its mark at "OK".
  if (marks_stale && txt_is(tbl, ent, "chk", "OK")) return put_txt(tbl, ent, "chk", "-");
  void* val = nullptr;
  if (scoped([&] { return vtyp_ref_lnk_val(ent, 0, &val); }) != 0) return true;
  if (std::strcmp(static_cast<const char*>(val), "ON") == 0) {
    void* kv = nullptr;
    if (scoped([&] { return vtyp_ref_val(ent, &kv); }) != 0) return true;
    const char* key = static_cast<const char*>(kv);
    int32_t n = cnt_of(tbl, ent);
    if (n != 0) {
      --n;
      if (!put_int(tbl, ent, "cnt", n)) return false;
      if (opt_rcd.dbgcnt) cnt_line(key, "down", n);
    } else {
      // The key text lives in the entry, which stays where it is when its value changes.
      if (scoped([&] { return vmap_put_str_str(tbl, nullptr, key, "OFF", 0); }) != 0) return false;
      if (opt_rcd.fp) state_line(key, "OFF");
      char adr[ADR_CAP] = {};
      std::memcpy(adr, key, std::min(std::strlen(key), ADR_LEN));
      const char* nam = std::strlen(key) > ADR_LEN ? key + ADR_LEN + 1 : "";
      if (!run_cmd(adr, nam, "OFF")) return false;
    }
  }
  // A mark of "-" stays as it is; after a pass cut short, one it never wrote is written now.
  return !marks_stale || put_txt(tbl, ent, "chk", "-");
}

}  // namespace

void dev_chk(vmap* tbl) {
  BLUETOOTH_DEVICE_SEARCH_PARAMS sp = {};
  sp.dwSize = sizeof sp;
  sp.fReturnAuthenticated = TRUE;
  sp.fReturnRemembered = TRUE;
  sp.fReturnUnknown = TRUE;
  sp.fReturnConnected = TRUE;
  sp.fIssueInquiry = TRUE;
  sp.cTimeoutMultiplier = static_cast<UCHAR>(opt_rcd.t & 0xFF);
  sp.hRadio = nullptr;
  BLUETOOTH_DEVICE_INFO inf = {};
  inf.dwSize = sizeof inf;
  seen.clear();

  if (HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&sp, &inf); h != nullptr) {
    bool ok = true;
    do {
      ok = dev_one(tbl, inf);
    } while (ok && BluetoothFindNextDevice(h, &inf));
    // Also on an early end: a pass that keeps its search open leaks one per failure.
    BluetoothFindDeviceClose(h);
    if (!ok) return pass_cut(tbl);
  }

  vmap_itr itr = {};
  bool whole = false;
  if (scoped([&] { return vmap_rng_pop_set(tbl, nullptr, 0, &itr); }) == 0) {
    vtyp* ent = nullptr;
    int st;
    while ((st = scoped([&] { return vmap_rng_pop(&itr, &ent, 1); })) == 0 && swp_one(tbl, ent)) {
    }
    whole = st == ERR_EOD;   // the iteration's clean end; a failure of its own or of swp_one cuts
  }
  scoped([&] { return vmap_rng_pop_end(&itr); });
  if (whole) {
    marks_stale = false;
  } else {
    pass_cut(tbl);
  }
}
