// The BlueZ stack: bluetoothd's objects on the system bus, read and searched through sd-bus.
#include "platform/bt_bluez.h"

#include <strings.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/bt_stk.h"
#include "platform/sig.h"

namespace {

constexpr const char* BZ_SVC = "org.bluez";
constexpr const char* BZ_ADP = "org.bluez.Adapter1";
constexpr const char* BZ_DEV = "org.bluez.Device1";
constexpr const char* OBJ_MGR = "org.freedesktop.DBus.ObjectManager";
constexpr const char* PRP = "org.freedesktop.DBus.Properties";
// A wedged bluetoothd costs a pass at most this much per call, instead of sd-bus' 25 s.
constexpr uint64_t CALL_US = 5'000'000;
// Messages served after the window closed: what had arrived by then belongs to the window,
// but a flood must not hold the pass.
constexpr int DRN_MAX = 4096;
// The longest inquiry the Windows search accepts; above it Windows refuses at once.
constexpr UCHAR MUL_MAX = 48;
// A page waits 4 inquiry units (5.12 s), the page timeout radios use by default: an absent
// target costs a pass this much, and no more.
constexpr uint64_t PAG_UNITS = 4;
// RSSI threshold of the discovery filter: the lowest there is, so it filters nothing out. Any
// RSSI filter turns off the 8 dBm change bluetoothd otherwise needs to report a device again,
// and a device that answers with the same RSSI must still count as heard.
constexpr int16_t RSSI_ALL = -127;

uint64_t now_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000 + static_cast<uint64_t>(t.tv_nsec) / 1000;
}

constexpr int hex_val(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One character of UTF-8 at `p` (not at its terminator): its code point, or U+FFFD for an
// ill-formed piece. Returns the bytes it takes; a terminator is never taken, as it is no
// continuation byte.
size_t u8_one(const unsigned char* p, uint32_t& cp) {
  const unsigned char b = p[0];
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  int cnt;  // continuation bytes
  uint32_t v;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (b >= 0xC2 && b <= 0xDF) {
    cnt = 1, v = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    cnt = 2, v = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    cnt = 3, v = b & 0x07;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    cp = 0xFFFD;
    return 1;
  }
  for (int i = 1; i <= cnt; ++i) {
    const unsigned char c = p[i];
    if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF)) {
      cp = 0xFFFD;
      return static_cast<size_t>(i);
    }
    v = v << 6 | (c & 0x3F);
  }
  cp = v;
  return static_cast<size_t>(cnt) + 1;
}

std::string err_txt(int r, const sd_bus_error& e) {
  // The message is the other program's text: a line break in it would split ours.
  if (sd_bus_error_is_set(&e))
    return std::string(e.name) + (e.message ? ": " + bt_quo(e.message, std::strlen(e.message), 200) : "");
  return std::strerror(-r);
}

// The last piece of an object path: "hci0" of "/org/bluez/hci0".
std::string leaf(const std::string& pth) { return pth.substr(pth.rfind('/') + 1); }

// What the bus says of one adapter.
struct bz_adp {
  std::string adr;
  bool pwr = false;
};

// What the bus says of one remote device.
struct bz_dev {
  std::string adp;  // its adapter's object path
  std::string adr;  // "AA:BB:CC:DD:EE:FF"
  std::string nam, als;
  bool has_nam = false;
  bool rnd = false;  // a random (LE) address, which may change every few minutes
  bool paired = false, bonded = false, con = false;
  uint32_t cls = 0;
  bool seen = false;  // added, or its RSSI changed, during this search's window
};

// One device as the search hands it out.
struct bz_rec {
  BYTE adr[6];
  BYTE flg;
  uint32_t cls;
  std::u16string nam;
};

class bz_fnd final : public bt_fnd {
 public:
  explicit bz_fnd(std::vector<bz_rec> r) : r_(std::move(r)) {}
  bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
    if (i_ == r_.size()) return false;
    const bz_rec& r = r_[i_++];
    bt_inf_set(inf, r.adr, r.flg, r.nam.data(), r.nam.size());
    inf.ulClassofDevice = r.cls;
    return true;
  }

 private:
  std::vector<bz_rec> r_;
  size_t i_ = 0;
};

// The value of one a{sv} entry, the reader at its variant.
int prp_one(sd_bus_message* m, const char* key, bz_dev& d, bool& rssi) {
  char t = 0;
  const char* sig = nullptr;
  int r = sd_bus_message_peek_type(m, &t, &sig);
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  auto is = [&](const char* k, const char* s) { return std::strcmp(key, k) == 0 && std::strcmp(sig, s) == 0; };
  const char* s = nullptr;
  int b = 0;
  if (is("Address", "s")) {
    if ((r = sd_bus_message_read(m, "v", "s", &s)) >= 0) d.adr = s;
  } else if (is("Name", "s")) {
    if ((r = sd_bus_message_read(m, "v", "s", &s)) >= 0) d.nam = s, d.has_nam = true;
  } else if (is("Alias", "s")) {
    if ((r = sd_bus_message_read(m, "v", "s", &s)) >= 0) d.als = s;
  } else if (is("AddressType", "s")) {
    if ((r = sd_bus_message_read(m, "v", "s", &s)) >= 0) d.rnd = std::strcmp(s, "random") == 0;
  } else if (is("Adapter", "o")) {
    if ((r = sd_bus_message_read(m, "v", "o", &s)) >= 0) d.adp = s;
  } else if (is("Paired", "b")) {
    if ((r = sd_bus_message_read(m, "v", "b", &b)) >= 0) d.paired = b != 0;
  } else if (is("Bonded", "b")) {
    if ((r = sd_bus_message_read(m, "v", "b", &b)) >= 0) d.bonded = b != 0;
  } else if (is("Connected", "b")) {
    if ((r = sd_bus_message_read(m, "v", "b", &b)) >= 0) d.con = b != 0;
  } else if (is("Class", "u")) {
    uint32_t u = 0;
    if ((r = sd_bus_message_read(m, "v", "u", &u)) >= 0) d.cls = u;
  } else {
    // A new RSSI is the radio hearing the device again.
    if (std::strcmp(key, "RSSI") == 0) rssi = true;
    r = sd_bus_message_skip(m, "v");
  }
  return r;
}

// An a{sv} of Adapter1 properties into `a`.
int adp_rd(sd_bus_message* m, bz_adp& a) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    const char* sig = nullptr;
    char t = 0;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = sd_bus_message_peek_type(m, &t, &sig)) < 0) return r;
    const char* s = nullptr;
    int b = 0;
    if (std::strcmp(key, "Address") == 0 && std::strcmp(sig, "s") == 0) {
      if ((r = sd_bus_message_read(m, "v", "s", &s)) >= 0) a.adr = s;
    } else if (std::strcmp(key, "Powered") == 0 && std::strcmp(sig, "b") == 0) {
      if ((r = sd_bus_message_read(m, "v", "b", &b)) >= 0) a.pwr = b != 0;
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// An a{sv} of Device1 properties into `d`; `rssi` set when it holds an RSSI.
int prp_rd(sd_bus_message* m, bz_dev& d, bool& rssi) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if ((r = prp_one(m, key, d, rssi)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// A device's address as the record holds it, for ordering.
using bz_key = std::array<BYTE, 6>;

class bt_bluez final : public bt_stk {
 public:
  explicit bt_bluez(const bt_l2_api& l2) : l2_(l2) {}
  ~bt_bluez() override { drop(); }
  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) override;

 private:

  bool run(uint64_t win_us, std::vector<bz_rec>& out, std::string& why);
  bool con(std::string& why);
  bool lost(int r, std::string& why);  // false, with `why`; drops a broken connection
  bool srv(uint64_t end, std::string& why);
  int start(const char* bz, const std::string& adp, sd_bus_error& e);
  int obj_rd(sd_bus_message* m, const std::string& pth, bool in_win);
  void rep(std::vector<bz_rec>& out) const;
  void pag(std::vector<bz_rec>& out);
  bool pg_off(bt_pg r, int err);  // true, with its line said, when the result ends paging
  void cfg_rd();
  void drop();
  static int on_sig(sd_bus_message* m, void* self, sd_bus_error*);

  const bt_l2_api& l2_;
  bool cfg_ok_ = false;  // the environment was read
  bt_bz_cfg cfg_;
  bool pg_on_ = false;   // paging asked for and possible
  bool mul_said_ = false;
  sd_bus* bus_ = nullptr;
  bt_say say_;
  std::string own_;                     // org.bluez's unique name during this search
  std::map<std::string, bz_adp> adp_;   // adapters by object path
  std::map<std::string, bz_dev> dev_;   // devices by object path
  std::string srch_on_;                 // the adapters this search runs on, for the message
};

void bt_bluez::drop() {
  // No flush: the connection may be dead or its peer stuck.
  if (bus_ != nullptr) sd_bus_close_unref(bus_);
  bus_ = nullptr;
}

bool bt_bluez::lost(int r, std::string& why) {
  if (bus_ != nullptr && sd_bus_is_open(bus_) <= 0) {
    drop();
    why = std::string("the system bus connection broke (") + std::strerror(r < 0 ? -r : ECONNRESET) + ")";
  } else if (why.empty()) {
    why = std::string("the system bus failed (") + std::strerror(r < 0 ? -r : EIO) + ")";
  }
  return false;
}

bool bt_bluez::con(std::string& why) {
  if (bus_ != nullptr && sd_bus_is_open(bus_) <= 0) drop();
  if (bus_ != nullptr) return true;
  // The system bus, or the one DBUS_SYSTEM_BUS_ADDRESS names.
  const int r = sd_bus_open_system(&bus_);
  if (r < 0) {
    bus_ = nullptr;
    why = std::string("cannot connect to the system bus (") + std::strerror(-r) + ")";
    return false;
  }
  sd_bus_set_method_call_timeout(bus_, CALL_US);
  return true;
}

int bt_bluez::obj_rd(sd_bus_message* m, const std::string& pth, bool in_win) {
  int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
    const char* ifc = nullptr;
    if ((r = sd_bus_message_read(m, "s", &ifc)) < 0) return r;
    if (std::strcmp(ifc, BZ_DEV) == 0) {
      bz_dev d;
      d.adp = pth.substr(0, pth.rfind('/'));  // unless it names its adapter itself
      bool rssi = false;
      if ((r = prp_rd(m, d, rssi)) < 0) return r;
      d.seen = in_win;
      dev_[pth] = std::move(d);
    } else if (std::strcmp(ifc, BZ_ADP) == 0) {
      if ((r = adp_rd(m, adp_[pth])) < 0) return r;
    } else {
      if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int bt_bluez::on_sig(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& s = *static_cast<bt_bluez*>(self);
  const char* snd = sd_bus_message_get_sender(m);
  if (snd == nullptr || s.own_ != snd) return 0;
  const char* pth = nullptr;
  if (sd_bus_message_is_signal(m, OBJ_MGR, "InterfacesAdded")) {
    if (sd_bus_message_read(m, "o", &pth) >= 0) s.obj_rd(m, pth, true);
  } else if (sd_bus_message_is_signal(m, OBJ_MGR, "InterfacesRemoved")) {
    if (sd_bus_message_read(m, "o", &pth) < 0 || sd_bus_message_enter_container(m, 'a', "s") < 0) return 0;
    const std::string p = pth;
    const char* ifc = nullptr;
    while (sd_bus_message_read(m, "s", &ifc) > 0) {
      if (std::strcmp(ifc, BZ_DEV) == 0) s.dev_.erase(p);
      if (std::strcmp(ifc, BZ_ADP) == 0) s.adp_.erase(p);  // its devices go with it in rep()
    }
  } else if (sd_bus_message_is_signal(m, PRP, "PropertiesChanged")) {
    const char* ifc = nullptr;
    if (sd_bus_message_read(m, "s", &ifc) < 0 || std::strcmp(ifc, BZ_DEV) != 0) return 0;
    pth = sd_bus_message_get_path(m);
    const auto it = pth != nullptr ? s.dev_.find(pth) : s.dev_.end();
    if (it == s.dev_.end()) return 0;  // not listed: nothing to learn its address from
    bz_dev d = it->second;  // a message that breaks off half read changes nothing
    bool rssi = false;
    if (prp_rd(m, d, rssi) < 0 || sd_bus_message_enter_container(m, 'a', "s") < 0) return 0;
    const char* gone = nullptr;
    while (sd_bus_message_read(m, "s", &gone) > 0) {
      if (std::strcmp(gone, "Name") == 0) d.nam.clear(), d.has_nam = false;
      if (std::strcmp(gone, "Alias") == 0) d.als.clear();
    }
    d.seen = d.seen || rssi;
    it->second = std::move(d);
  }
  return 0;
}

bool bt_bluez::srv(uint64_t end, std::string& why) {
  for (;;) {
    sig_chk();   // a request to end the program ends it here, not after a search cut short
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return lost(r, why);
    const uint64_t now = now_us();
    if (now >= end) break;
    if (r > 0) continue;
    r = sd_bus_wait(bus_, end - now);
    if (r < 0 && r != -EINTR) return lost(r, why);
  }
  for (int i = 0; i < DRN_MAX; ++i) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return lost(r, why);
    if (r == 0) break;
  }
  return true;
}

void bt_bluez::rep(std::vector<bz_rec>& out) const {
  std::map<std::string, size_t> at;  // by address: one device seen by two adapters is one
  for (const auto& [pth, d] : dev_) {
    if (adp_.count(d.adp) == 0) continue;  // its adapter is gone
    bz_rec r{};
    if (!bt_bz_adr(d.adr.c_str(), r.adr)) continue;
    const bool rem = d.paired || d.bonded;
    if (!rem && !d.con && !d.seen) continue;  // only cached from an earlier search
    // Another program's LE scan fills BlueZ with devices behind changing addresses: each would
    // be a new entry of a table that never shrinks.
    if (!rem && d.rnd) continue;
    r.flg = static_cast<BYTE>((d.con ? BT_DEV_CON : 0) | (rem ? BT_DEV_REM | BT_DEV_AUT : 0));
    r.cls = d.cls;
    const auto [it, added] = at.try_emplace(d.adr, out.size());
    if (!added) {
      out[it->second].flg |= r.flg;
      continue;
    }
    r.nam = bt_bz_nam(bt_bz_shown(d.nam, d.has_nam, d.als, d.adr).c_str());
    out.push_back(std::move(r));
  }
}

int bt_bluez::start(const char* bz, const std::string& a, sd_bus_error& e) {
  // Classic Bluetooth only: LE devices with changing random addresses would fill the table.
  // A bluetoothd without filters searches all the same, so a refusal is not a failure.
  sd_bus_call_method(bus_, bz, a.c_str(), BZ_ADP, "SetDiscoveryFilter", nullptr, nullptr, "a{sv}", 2, "Transport",
                     "s", "bredr", "RSSI", "n", RSSI_ALL);
  int r = sd_bus_call_method(bus_, bz, a.c_str(), BZ_ADP, "StartDiscovery", &e, nullptr, nullptr);
  // InProgress is also bluetoothd's answer when the kernel refused to start the inquiry (busy,
  // not supported, not powered), not only when this connection's discovery still runs: stop
  // and start once more, and a second refusal is this adapter's failure, not a blind pass.
  if (r < 0 && sd_bus_error_has_name(&e, "org.bluez.Error.InProgress")) {
    sd_bus_error_free(&e);
    sd_bus_call_method(bus_, bz, a.c_str(), BZ_ADP, "StopDiscovery", nullptr, nullptr, nullptr);
    r = sd_bus_call_method(bus_, bz, a.c_str(), BZ_ADP, "StartDiscovery", &e, nullptr, nullptr);
  }
  return r;
}

bool key_of(const std::string& txt, bz_key& k) {
  BYTE a[6];
  if (!bt_bz_adr(txt.c_str(), a)) return false;
  std::memcpy(k.data(), a, sizeof a);
  return true;
}

bool bt_bluez::pg_off(bt_pg r, int err) {
  if (r != bt_pg::no_sup && r != bt_pg::no_perm) return false;
  std::fprintf(stderr, "kestrel: KESTREL_BT_PAGE: %s (%s); paging stays off.\n",
               r == bt_pg::no_sup ? "this kernel has no Bluetooth sockets" : "no permission to use Bluetooth sockets",
               std::strerror(err));
  std::fflush(stderr);
  pg_on_ = false;
  return true;
}

void bt_bluez::pag(std::vector<bz_rec>& out) {
  if (!pg_on_) return;
  struct tgt {
    bool rem = false;           // paired
    bool ans = false;           // connected, or heard in the window: no page needed
    const bz_dev* d = nullptr;  // what BlueZ knows of it
  };
  std::map<bz_key, tgt> ts;
  for (const bz_key& k : cfg_.pg_adr) ts[k];
  for (const auto& [pth, d] : dev_) {
    bz_key k{};
    if (adp_.count(d.adp) == 0 || !key_of(d.adr, k)) continue;
    const bool rem = d.paired || d.bonded;
    auto it = ts.find(k);
    if (it == ts.end()) {
      // A random (LE) address answers no classic page.
      if (!cfg_.pg_all || !rem || d.rnd) continue;
      it = ts.emplace(k, tgt{}).first;
    }
    tgt& t = it->second;
    t.rem |= rem;
    t.ans |= d.con || d.seen;
    if (t.d == nullptr || (!t.d->has_nam && d.has_nam)) t.d = &d;
  }
  std::map<bz_key, size_t> at;
  for (size_t i = 0; i < out.size(); ++i) {
    bz_key k{};
    std::memcpy(k.data(), out[i].adr, sizeof out[i].adr);
    at[k] = i;
  }
  const int pag_ms = static_cast<int>(PAG_UNITS * bt_unit_ms());
  for (auto& [k, t] : ts) {
    if (!t.ans) {
      // From the adapter that knows it, else from any that is up.
      const bz_adp* from = nullptr;
      if (const auto a = t.d != nullptr ? adp_.find(t.d->adp) : adp_.end(); a != adp_.end() && a->second.pwr)
        from = &a->second;
      for (const auto& [pth, a] : adp_)
        if (from == nullptr && a.pwr) from = &a;
      BYTE fa[6], ta[6];
      if (from == nullptr || !bt_bz_adr(from->adr.c_str(), fa)) continue;
      std::memcpy(ta, k.data(), sizeof ta);
      int why = 0;
      const bt_pg r = bt_page(l2_, fa, ta, pag_ms, why);
      if (pg_off(r, why)) return;
      t.ans = r == bt_pg::ans;
    }
    if (!t.ans) continue;
    // Answered: a paired device was connected during the search, an unpaired one was found.
    if (const auto i = at.find(k); i != at.end()) {
      if (t.rem) out[i->second].flg |= BT_DEV_CON;
      continue;
    }
    bz_rec r{};
    std::memcpy(r.adr, k.data(), sizeof r.adr);
    r.flg = t.rem ? BT_DEV_CON | BT_DEV_REM | BT_DEV_AUT : 0;
    if (t.d != nullptr) {
      r.cls = t.d->cls;
      r.nam = bt_bz_nam(bt_bz_shown(t.d->nam, t.d->has_nam, t.d->als, t.d->adr).c_str());
    }
    out.push_back(std::move(r));
  }
}

void bt_bluez::cfg_rd() {
  if (cfg_ok_) return;
  cfg_ok_ = true;
  std::string err;
  if (!bt_bz_cfg_rd(std::getenv("KESTREL_BT_PAGE"), std::getenv("KESTREL_BT_REST"), cfg_, err)) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", err.c_str());
    std::exit(2);
  }
  pg_on_ = cfg_.pg_all || !cfg_.pg_adr.empty();
  int why = 0;
  if (pg_on_) pg_off(bt_l2_probe(l2_, why), why);
}

bool bt_bluez::run(uint64_t win_us, std::vector<bz_rec>& out, std::string& why) {
  own_.clear();
  adp_.clear();
  dev_.clear();
  if (!con(why)) return false;
  // Whatever the bus still holds from the last search is stale.
  for (int i = 0; i < DRN_MAX; ++i) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return lost(r, why);
    if (r == 0) break;
  }

  sd_bus_error e = SD_BUS_ERROR_NULL;
  sd_bus_message* rpl = nullptr;
  // bluetoothd's unique name: a restarted one is a new name, and signals of an old one are ignored.
  int r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "GetNameOwner", &e, &rpl, "s", BZ_SVC);
  const char* own = nullptr;
  if (r >= 0) r = sd_bus_message_read(rpl, "s", &own);
  if (r >= 0) own_ = own;
  rpl = sd_bus_message_unref(rpl);
  if (r < 0) {
    if (sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.NameHasNoOwner")) {
      why = "org.bluez is not on the system bus (is bluetoothd running?)";
    } else {
      why = "cannot look up org.bluez on the system bus (" + err_txt(r, e) + ")";
    }
    sd_bus_error_free(&e);
    lost(r, why);
    return false;
  }

  // Before the listing, so nothing that happens after it is missed.
  sd_bus_slot* slt = nullptr;
  const std::string rule = "type='signal',sender='" + own_ + "'";
  r = sd_bus_add_match(bus_, &slt, rule.c_str(), on_sig, this);
  if (r < 0) {
    why = std::string("cannot listen to org.bluez (") + std::strerror(-r) + ")";
    return lost(r, why);
  }
  struct slt_end {
    sd_bus_slot*& s;
    ~slt_end() { s = sd_bus_slot_unref(s); }
  } slt_end_{slt};

  // Every call to the one bluetoothd the signals come from, even if another takes its place.
  const char* bz = own_.c_str();
  r = sd_bus_call_method(bus_, bz, "/", OBJ_MGR, "GetManagedObjects", &e, &rpl, nullptr);
  if (r < 0) {
    why = "org.bluez does not list its objects (" + err_txt(r, e) + ")";
    sd_bus_error_free(&e);
    return lost(r, why);
  }
  r = sd_bus_message_enter_container(rpl, 'a', "{oa{sa{sv}}}");
  while (r >= 0 && (r = sd_bus_message_enter_container(rpl, 'e', "oa{sa{sv}}")) > 0) {
    const char* pth = nullptr;
    if ((r = sd_bus_message_read(rpl, "o", &pth)) >= 0 && (r = obj_rd(rpl, pth, false)) >= 0)
      r = sd_bus_message_exit_container(rpl);
  }
  rpl = sd_bus_message_unref(rpl);
  if (r < 0) {
    why = std::string("org.bluez lists its objects in a form kestrel cannot read (") + std::strerror(-r) + ")";
    return false;
  }
  if (adp_.empty()) {
    why = "no Bluetooth adapter";
    return false;
  }

  std::vector<std::string> on;
  std::string fail;
  for (const auto& [a, adp] : adp_) {
    if ((r = start(bz, a, e)) >= 0) {
      on.push_back(a);
    } else if (fail.empty() && !sd_bus_error_has_names(&e, "org.freedesktop.DBus.Error.UnknownObject",
                                                        "org.freedesktop.DBus.Error.UnknownInterface")) {
      // Those two: unplugged since it was listed, as if it had not been.
      fail = leaf(a) + ": " + err_txt(r, e);
    }
    sd_bus_error_free(&e);
  }
  if (on.empty() && fail.empty()) {
    why = "no Bluetooth adapter";
    return false;
  }
  if (on.empty()) {
    why = "no adapter can search (" + fail + ")";
    return lost(r, why);
  }

  if (!srv(now_us() + win_us, why)) return false;
  for (const std::string& a : on)
    sd_bus_call_method(bus_, bz, a.c_str(), BZ_ADP, "StopDiscovery", nullptr, nullptr, nullptr);
  srch_on_.clear();
  for (const std::string& a : on) srch_on_ += (srch_on_.empty() ? "" : ", ") + leaf(a);
  rep(out);
  pag(out);
  return true;
}

std::unique_ptr<bt_fnd> bt_bluez::srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) {
  cfg_rd();
  // At least one unit, so that a caller searching in a loop never spins.
  const uint64_t units = prm.cTimeoutMultiplier > 0 ? prm.cTimeoutMultiplier : 1;
  const uint64_t win_us = units * bt_unit_ms() * 1000;
  if (prm.cTimeoutMultiplier > MUL_MAX) {
    // As on Windows, which refuses such a search at once: the same /t means the same thing.
    if (!mul_said_) {
      std::fprintf(stderr,
                   "kestrel: /t=%u is above %u, which the Windows search refuses: each pass waits the inquiry "
                   "time without searching.\n",
                   static_cast<unsigned>(prm.cTimeoutMultiplier), static_cast<unsigned>(MUL_MAX));
      std::fflush(stderr);
    }
    mul_said_ = true;
    bt_slp_ms(win_us / 1000);
    return nullptr;
  }
  // The radio idles before the search, not after it: what the search finds is reported at once.
  bt_slp_ms(uint64_t{cfg_.rest_s} * 1000);
  const uint64_t t0 = now_us();
  std::vector<bz_rec> out;
  std::string why;
  if (!run(win_us, out, why)) {
    say_.down(why);
    const uint64_t now = now_us();
    if (now < t0 + win_us) bt_slp_ms((t0 + win_us - now + 999) / 1000);
    return nullptr;
  }
  say_.up(srch_on_);
  if (out.empty()) return nullptr;
  return std::make_unique<bz_fnd>(std::move(out));
}

}  // namespace

bool bt_bz_adr(const char* txt, BYTE (&adr)[6]) {
  if (txt == nullptr || strnlen(txt, 18) != 17) return false;
  BYTE b[6];
  for (int i = 0; i < 6; ++i) {
    const char* p = txt + 3 * i;
    const int hi = hex_val(p[0]), lo = hex_val(p[1]);
    if (hi < 0 || lo < 0 || (i < 5 && p[2] != ':')) return false;
    b[5 - i] = static_cast<BYTE>(hi << 4 | lo);
  }
  std::memcpy(adr, b, sizeof b);
  return true;
}

std::u16string bt_bz_nam(const char* utf8) {
  constexpr size_t MAX = BLUETOOTH_MAX_NAME_SIZE - 1;
  std::u16string out;
  if (utf8 == nullptr) return out;
  for (const auto* p = reinterpret_cast<const unsigned char*>(utf8); *p != 0;) {
    uint32_t cp = 0;
    const size_t n = u8_one(p, cp);
    const size_t need = cp >= 0x10000 ? 2 : 1;
    if (out.size() + need > MAX) break;
    if (need == 2) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    p += n;
  }
  return out;
}

namespace {

// An untrusted value as a line may show it.
std::string quo(const char* v) { return bt_quo(v, std::strlen(v), 64); }

}  // namespace

bool bt_bz_cfg_rd(const char* page, const char* rest, bt_bz_cfg& cfg, std::string& err) {
  bt_bz_cfg c;
  if (page != nullptr && *page != '\0') {
    std::set<bz_key> had;
    for (const char* p = page;;) {
      const char* e = std::strchr(p, ',');
      std::string tok(p, e != nullptr ? static_cast<size_t>(e - p) : std::strlen(p));
      tok.erase(0, tok.find_first_not_of(' '));
      tok.erase(tok.find_last_not_of(' ') + 1);
      bz_key k{};
      if (strcasecmp(tok.c_str(), "paired") == 0) {
        c.pg_all = true;
      } else if (key_of(tok, k)) {
        if (had.insert(k).second) c.pg_adr.push_back(k);
      } else {
        err = "kestrel: KESTREL_BT_PAGE=" + quo(page) +
              ": not \"paired\" and/or addresses like 5C:E9:1E:07:B4:C1, separated by commas";
        return false;
      }
      if (e == nullptr) break;
      p = e + 1;
    }
  }
  if (rest != nullptr && *rest != '\0') {
    uint64_t s = 0;
    bool ok = true;
    for (const char* p = rest; *p != '\0' && ok; ++p) {
      ok = *p >= '0' && *p <= '9';
      s = s * 10 + static_cast<uint64_t>(*p - '0');
      ok = ok && s <= BT_REST_MAX_S;
    }
    if (!ok) {
      err = "kestrel: KESTREL_BT_REST=" + quo(rest) + ": not a whole number of seconds from 0 to " +
            std::to_string(BT_REST_MAX_S);
      return false;
    }
    c.rest_s = static_cast<uint32_t>(s);
  }
  cfg = std::move(c);
  return true;
}

std::string bt_bz_shown(const std::string& nam, bool has_nam, const std::string& als, const std::string& adr) {
  std::string dashed = adr;
  for (char& c : dashed)
    if (c == ':') c = '-';
  const bool own = !als.empty() && !(has_nam && als == nam) && strcasecmp(als.c_str(), dashed.c_str()) != 0;
  if (own) return als;
  return has_nam ? nam : std::string();
}

std::unique_ptr<bt_stk> bt_bluez_mak(const bt_l2_api& l2) { return std::make_unique<bt_bluez>(l2); }
std::unique_ptr<bt_stk> bt_bluez_mak() { return bt_bluez_mak(bt_l2_sys()); }
