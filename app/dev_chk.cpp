#include "app/dev_chk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "app/cmd_run.h"
#include "app/opt.h"
#include "app/scoped.h"
#include "app/tim.h"
#include "base/base.h"
#include "platform/bluetooth.h"
#include "platform/clock.h"
#include "platform/crt_text.h"
#include "platform/mqtt.h"

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

// A command that cannot run (cmd_run names it on standard error) does not end the pass: the
// change it was for stands, and the other devices are still watched.
void run_cmd(const char* adr, const char* nam, const char* st) {
  if (!opt_rcd.cmd_use) return;
  const bool on = std::strcmp(st, "ON") == 0;
  const char* tpl = on ? opt_rcd.cmdon : opt_rcd.cmdoff;
  if (tpl == nullptr || *tpl == '\0') return;
  scoped([&] { return cmd_run(adr, nam, st, tpl); });
}

uint32_t tbl_max = DEV_TBL_MAX;

// When a device went OFF: seconds of the monotonic clock, for the entry's "off" mark.
int32_t off_now() { return static_cast<int32_t>(mono_ms() / 1000 & 0x7FFFFFFF); }

// A table of more than tbl_max devices drops devices that are OFF, those OFF longest first (the
// earliest "off" mark; a device without one first of all), until it holds tbl_max or none is
// OFF. A dropped device that comes back is a new entry: it prints what an OFF one that comes
// back prints.
void tbl_trim(vmap* tbl, size_t n) {
  if (n <= tbl_max) return;
  struct gone {
    int32_t off;
    vtyp* ent;
  };
  std::vector<gone> offs;
  vmap_itr itr = {};
  bool whole = false;
  try {
    if (scoped([&] { return vmap_rng_pop_set(tbl, nullptr, 0, &itr); }) == 0) {
      vtyp* ent = nullptr;
      int st;
      while ((st = scoped([&] { return vmap_rng_pop(&itr, &ent, 1); })) == 0) {
        void* val = nullptr;
        if (scoped([&] { return vtyp_ref_lnk_val(ent, 0, &val); }) != 0 ||
            std::strcmp(static_cast<const char*>(val), "OFF") != 0)
          continue;
        int32_t off = 0;
        if (scoped([&] { return vmap_get_str_int(tbl, ent, "off", &off); }) != 0) off = 0;
        offs.push_back({off, ent});
      }
      whole = st == ERR_EOD;
    }
  } catch (const std::bad_alloc&) {
    whole = false;
  }
  scoped([&] { return vmap_rng_pop_end(&itr); });
  if (!whole) return;   // the next pass tries again
  std::stable_sort(offs.begin(), offs.end(), [](const gone& a, const gone& b) { return a.off < b.off; });
  for (size_t i = 0; i < offs.size() && n > tbl_max; ++i, --n)
    if (scoped([&] { return vmap_del(tbl, offs[i].ent); }) != 0) return;
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
    changed = !txt_is(tbl, nullptr, key, "ON");
    st = "ON";
    if (have && cnt_of(tbl, ent) != c) {
      if (!put_int(tbl, ent, "cnt", c)) return false;
      if (opt_rcd.dbgcnt) cnt_line(key, "set", c);
    }
  } else {
    changed = txt_is(tbl, nullptr, key, "ON");
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
  if (!changed) return !have || put_txt(tbl, ent, "chk", "OK");

  if (scoped([&] { return _vmap_put_str_str(tbl, nullptr, key, st, &ent, 0); }) != 0) return false;
  if (!put_txt(tbl, ent, "chk", "OK")) return false;
  if (std::strcmp(st, "OFF") == 0 && !put_int(tbl, ent, "off", off_now())) return false;
  if (!have) {
    if (!put_int(tbl, ent, "cnt", c)) return false;
    if (opt_rcd.dbgcnt) cnt_line(key, "set", c);
  }
  if (opt_rcd.fp) state_line(key, st);
  // Published before the command runs: the change's time is its own, and no command holds it.
  mqtt_chg(adr, nam, std::strcmp(st, "ON") == 0, inf.fRemembered != FALSE);
  run_cmd(adr, nam, st);
  return true;
}

// Step 4 for one entry; false ends the pass.
bool swp_one(vmap* tbl, vtyp* ent) {
  if (txt_is(tbl, ent, "chk", "OK")) return put_txt(tbl, ent, "chk", "-");
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
      if (!put_int(tbl, ent, "off", off_now())) return false;
      if (opt_rcd.fp) state_line(key, "OFF");
      char adr[ADR_CAP] = {};
      std::memcpy(adr, key, std::min(std::strlen(key), ADR_LEN));
      const char* nam = std::strlen(key) > ADR_LEN ? key + ADR_LEN + 1 : "";
      mqtt_chg(adr, nam, false, false);
      run_cmd(adr, nam, "OFF");
    }
  }
  return put_txt(tbl, ent, "chk", "-");
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

  if (HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&sp, &inf); h != nullptr) {
    bool ok = true;
    do {
      ok = dev_one(tbl, inf);
    } while (ok && BluetoothFindNextDevice(h, &inf));
    // Also on an early end: a pass that keeps its search open leaks one per failure.
    BluetoothFindDeviceClose(h);
    if (!ok) return;
  }

  vmap_itr itr = {};
  size_t n = 0;
  bool whole = false;
  if (scoped([&] { return vmap_rng_pop_set(tbl, nullptr, 0, &itr); }) == 0) {
    vtyp* ent = nullptr;
    int st;
    while ((st = scoped([&] { return vmap_rng_pop(&itr, &ent, 1); })) == 0 && swp_one(tbl, ent)) ++n;
    whole = st == ERR_EOD;
  }
  scoped([&] { return vmap_rng_pop_end(&itr); });
  if (whole) tbl_trim(tbl, n);
}

void dev_tbl_max_set(uint32_t n) { tbl_max = n; }
