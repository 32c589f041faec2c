// The stand-in for a Bluetooth radio: a private D-Bus bus of the test's own, with
// python-dbusmock's BlueZ template (bluetoothd's objects and methods) on it, started, driven,
// killed and restarted by the test. Programs reach it through DBUS_SYSTEM_BUS_ADDRESS.
//
// The template has no radio: devices exist or not. A radio reports a device it hears again
// with a new RSSI while discovery runs; here a thread plays that part for the devices a test
// puts "in range", at every discovery start it sees. It also counts the discoveries started
// on each adapter, which tells a test how many searches have begun.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/bt_stk.h"
#include "test_util.h"

extern char** environ;

#ifndef KESTREL_DBUS_DAEMON
#define KESTREL_DBUS_DAEMON "/usr/bin/dbus-daemon"
#endif
// Debian's own interpreter, which python3-dbusmock is installed for (another python3 may come
// first on PATH).
#ifndef KESTREL_MOCK_PYTHON
#define KESTREL_MOCK_PYTHON "/usr/bin/python3"
#endif

namespace tu {

// Starts argv[0] with the environment plus `env`, standard output and error appended to
// `log`; `fd3`, when given, becomes the child's descriptor 3. -1 when it cannot start.
inline pid_t bz_spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& log, int fd3 = -1) {
  std::vector<std::string> envs;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string s = *e;
    bool over = false;
    for (const auto& o : env) over |= s.substr(0, s.find('=') + 1) == o.substr(0, o.find('=') + 1);
    if (!over) envs.push_back(s);
  }
  envs.insert(envs.end(), env.begin(), env.end());
  std::vector<char*> ev, av;
  for (auto& e : envs) ev.push_back(e.data());
  ev.push_back(nullptr);
  std::vector<std::string> args = argv;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&fa, fd3, 3);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

inline void bz_reap(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int st = 0;
  waitpid(pid, &st, 0);
  pid = -1;
}

// A client connection to the bus at `addr`; nullptr when it cannot be made.
inline sd_bus* bz_open(const std::string& addr) {
  sd_bus* b = nullptr;
  if (sd_bus_new(&b) < 0) return nullptr;
  if (sd_bus_set_address(b, addr.c_str()) < 0 || sd_bus_set_bus_client(b, 1) < 0 || sd_bus_start(b) < 0) {
    sd_bus_close_unref(b);
    return nullptr;
  }
  return b;
}

class bz_mock {
 public:
  bz_mock() {
    char t[] = "/tmp/kbz-XXXXXX";  // short: a socket path holds at most 107 bytes
    if (mkdtemp(t) == nullptr) {
      err_ = "no scratch directory";
      return;
    }
    dir_ = t;
    addr_ = "unix:path=" + dir_ + "/bus";
    std::ofstream(dir_ + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>session</type>\n  <listen>" << addr_ << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
    radio_ = std::thread([this] { radio(); });
    ok_ = start_bus() && start_mock();
  }
  ~bz_mock() {
    stop_ = true;
    if (radio_.joinable()) radio_.join();
    if (ctl_ != nullptr) sd_bus_close_unref(ctl_);
    bz_reap(mock_);
    bz_reap(bus_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bz_mock(const bz_mock&) = delete;
  bz_mock& operator=(const bz_mock&) = delete;

  // Whether the bus and the mock came up; err() says why not, or what the last call met.
  bool ok() const { return ok_; }
  const std::string& err() const { return err_; }
  std::string env() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + addr_; }
  const std::string& addr() const { return addr_; }

  // Returns once the bus accepts connections and the radio listens on it.
  bool start_bus() {
    {
      std::lock_guard<std::mutex> l(mx_);
      ++bus_gen_;
    }
    unlink((dir_ + "/bus").c_str());  // a killed daemon leaves its socket behind
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return fail("no pipe");
    bus_ = bz_spawn({KESTREL_DBUS_DAEMON, "--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile",
                     "--print-address=3"},
                    {}, dir_ + "/bus.log", p[1]);
    close(p[1]);
    // The daemon prints its address once it listens.
    char c = 0;
    pollfd fd = {p[0], POLLIN, 0};
    const bool up = bus_ > 0 && poll(&fd, 1, 30000) == 1 && read(p[0], &c, 1) == 1;
    close(p[0]);
    if (ctl_ != nullptr) ctl_ = sd_bus_close_unref(ctl_);
    if (!up) return fail("dbus-daemon did not start: " + slurp(dir_ + "/bus.log"));
    // Else a search could begin before the radio hears discoveries start.
    std::unique_lock<std::mutex> l(mx_);
    return cv_.wait_for(l, std::chrono::seconds(30), [&] { return radio_gen_ == bus_gen_; }) ||
           fail("the radio thread did not connect to the bus");
  }
  // The bus goes away at once; the mock, left without it, with it.
  void kill_bus() {
    bz_reap(bus_);
    bz_reap(mock_);
  }
  // Returns once org.bluez is on the bus, with no adapter.
  bool start_mock() {
    mock_ = bz_spawn({KESTREL_MOCK_PYTHON, "-m", "dbusmock", "--system", "--template", "bluez5", "-l",
                      dir_ + "/mock.log"},
                     {env()}, dir_ + "/mock.out");
    if (mock_ <= 0) return fail("cannot start " KESTREL_MOCK_PYTHON);
    for (int i = 0; i < 3000; ++i) {  // a loaded machine may take long to start Python
      int st = 0;
      if (waitpid(mock_, &st, WNOHANG) == mock_) {
        mock_ = -1;
        return fail("the BlueZ mock ended (is python3-dbusmock installed?): " + slurp(dir_ + "/mock.out"));
      }
      int has = 0;
      sd_bus_message* rpl = nullptr;
      if (sd_bus* b = ctl(); b != nullptr &&
          sd_bus_call_method(b, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", nullptr, &rpl, "s", "org.bluez") >= 0 &&
          sd_bus_message_read(rpl, "b", &has) >= 0 && has) {
        sd_bus_message_unref(rpl);
        return true;
      }
      sd_bus_message_unref(rpl);
      usleep(20000);
    }
    return fail("org.bluez did not appear on the bus");
  }
  // bluetoothd dies: no clean-up, no signals.
  void kill_mock() { bz_reap(mock_); }

  static std::string adp_path(const std::string& hci) { return "/org/bluez/" + hci; }
  static std::string dev_path(const std::string& hci, std::string adr) {
    for (char& c : adr) c = c == ':' ? '_' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return adp_path(hci) + "/dev_" + adr;
  }

  bool add_adapter(const std::string& hci) { return mck("AddAdapter", "ss", hci.c_str(), "kestrel-test"); }
  // As an unplugged adapter goes: its devices first, then itself.
  bool rm_adapter(const std::string& hci) { return mck("RemoveAdapterWithDevices", "s", hci.c_str()); }
  // As bluetoothd never does: the adapter goes, its devices stay on the bus.
  bool rm_adapter_only(const std::string& hci) { return mck("RemoveAdapter", "s", hci.c_str()); }
  // A new device, unpaired and not connected.
  bool add_dev(const std::string& hci, const std::string& adr, const std::string& nam) {
    return mck("AddDevice", "sss", hci.c_str(), adr.c_str(), nam.c_str());
  }
  bool pair(const std::string& hci, const std::string& adr) {
    return mck("PairDevice", "ssi", hci.c_str(), adr.c_str(), 0);
  }
  bool connect(const std::string& hci, const std::string& adr) {
    return mck("ConnectDevice", "ss", hci.c_str(), adr.c_str());
  }
  bool disconnect(const std::string& hci, const std::string& adr) {
    return mck("DisconnectDevice", "ss", hci.c_str(), adr.c_str());
  }
  bool rm_dev(const std::string& hci, const std::string& adr) {
    return call(adp_path(hci), "org.bluez.Adapter1", "RemoveDevice", "o", dev_path(hci, adr).c_str());
  }
  // The device renamed: Name and Alias, as bluetoothd reports a new remote name.
  bool set_name(const std::string& hci, const std::string& adr, const std::string& nam) {
    return call(dev_path(hci, adr), "org.freedesktop.DBus.Mock", "UpdateProperties", "sa{sv}",
                "org.bluez.Device1", 2, "Name", "s", nam.c_str(), "Alias", "s", nam.c_str());
  }
  bool set_class(const std::string& hci, const std::string& adr, uint32_t cls) {
    return call(dev_path(hci, adr), "org.freedesktop.DBus.Mock", "UpdateProperties", "sa{sv}",
                "org.bluez.Device1", 1, "Class", "u", cls);
  }
  // A device object of any make: `nam` nullptr leaves out its Name, as for a device whose
  // name was never read.
  bool add_raw_dev(const std::string& hci, const std::string& pth_leaf, const char* adr, const char* nam,
                   const char* als, bool con, const char* adr_typ = "public") {
    sd_bus* b = ctl();
    if (b == nullptr) return fail("no bus");
    const std::string pth = adp_path(hci) + "/" + pth_leaf;
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(b, &m, "org.bluez", "/", "org.freedesktop.DBus.Mock", "AddObject");
    if (r >= 0) r = sd_bus_message_append(m, "ss", pth.c_str(), "org.bluez.Device1");
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    auto sv = [&](const char* k, const char* t, auto v) {
      if (r >= 0) r = sd_bus_message_append(m, "{sv}", k, t, v);
    };
    sv("Address", "s", adr);
    sv("AddressType", "s", adr_typ);
    if (nam != nullptr) sv("Name", "s", nam);
    sv("Alias", "s", als);
    sv("Adapter", "o", adp_path(hci).c_str());
    sv("Paired", "b", 0);
    sv("Connected", "b", con ? 1 : 0);
    sv("RSSI", "n", static_cast<int16_t>(-60));
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "a(ssss)", 0);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    if (r >= 0) r = sd_bus_call(b, m, 0, &e, nullptr);
    sd_bus_message_unref(m);
    const bool ok = r >= 0 || fail(std::string("AddObject: ") + (e.message ? e.message : strerror(-r)));
    sd_bus_error_free(&e);
    return ok;
  }

  // The adapter's next `n` StartDiscovery calls fail with bluetoothd's error `name`; the ones
  // after that start discovery as the template does.
  bool fail_start(const std::string& hci, int n, const std::string& name, const std::string& msg) {
    const int base = calls(hci, "StartDiscovery");
    if (base < 0) return fail("no call log");
    const std::string code =
        "n = len([c for c in self.call_log if c[1] == 'StartDiscovery'])\n"
        "if n <= " + std::to_string(base + n) + ":\n"
        "    raise dbus.exceptions.DBusException('" + msg + "', name='" + name + "')\n"
        "self.props['org.bluez.Adapter1']['Discovering'] = True\n"
        "self.EmitSignal('org.freedesktop.DBus.Properties', 'PropertiesChanged', 'sa{sv}as', "
        "['org.bluez.Adapter1', {'Discovering': dbus.Boolean(True, variant_level=1)}, []])\n";
    return call(adp_path(hci), "org.freedesktop.DBus.Mock", "AddMethod", "sssss", "org.bluez.Adapter1",
                "StartDiscovery", "", "", code.c_str());
  }
  // The adapter switched on or off (bluetoothctl power on/off).
  bool power(const std::string& hci, bool on) {
    return call(adp_path(hci), "org.freedesktop.DBus.Mock", "UpdateProperties", "sa{sv}", "org.bluez.Adapter1", 1,
                "Powered", "b", on ? 1 : 0);
  }

  // Whether the adapter is discovering, and the discovery filter it was last given: the value
  // of its `key` (a string, or a number as text), "" when none.
  bool discovering(const std::string& hci) {
    int v = 0;
    return get(hci, "Discovering", "b", &v) && v != 0;
  }
  std::string filter(const std::string& hci, const std::string& key) {
    sd_bus* b = ctl();
    sd_bus_message* rpl = nullptr;
    std::string t;
    if (b == nullptr || sd_bus_call_method(b, "org.bluez", adp_path(hci).c_str(), "org.freedesktop.DBus.Properties",
                                           "Get", nullptr, &rpl, "ss", "org.bluez.Adapter1", "DiscoveryFilter") < 0)
      return t;
    if (sd_bus_message_enter_container(rpl, 'v', "a{sv}") >= 0 && sd_bus_message_enter_container(rpl, 'a', "{sv}") >= 0) {
      while (sd_bus_message_enter_container(rpl, 'e', "sv") > 0) {
        const char* k = nullptr;
        const char* v = nullptr;
        sd_bus_message_read(rpl, "s", &k);
        int16_t n = 0;
        char typ = 0;
        const char* sig = "";
        sd_bus_message_peek_type(rpl, &typ, &sig);
        if (key == k && std::strcmp(sig, "s") == 0 && sd_bus_message_read(rpl, "v", "s", &v) >= 0) t = v;
        else if (key == k && std::strcmp(sig, "n") == 0 && sd_bus_message_read(rpl, "v", "n", &n) >= 0)
          t = std::to_string(n);
        else sd_bus_message_skip(rpl, "v");
        sd_bus_message_exit_container(rpl);
      }
    }
    sd_bus_message_unref(rpl);
    return t;
  }
  // How often the adapter's method was called since the mock started.
  int calls(const std::string& hci, const char* method) {
    sd_bus* b = ctl();
    sd_bus_message* rpl = nullptr;
    int n = -1;
    if (b != nullptr && sd_bus_call_method(b, "org.bluez", adp_path(hci).c_str(), "org.freedesktop.DBus.Mock",
                                           "GetMethodCalls", nullptr, &rpl, "s", method) >= 0 &&
        sd_bus_message_enter_container(rpl, 'a', "(tav)") >= 0) {
      n = 0;
      while (sd_bus_message_skip(rpl, "(tav)") > 0) ++n;
    }
    sd_bus_message_unref(rpl);
    return n;
  }

  // The radio hears the device at every discovery start from now on, or no longer.
  void in_range(const std::string& hci, const std::string& adr, bool on) {
    std::lock_guard<std::mutex> l(mx_);
    if (on) rng_.insert(dev_path(hci, adr));
    else rng_.erase(dev_path(hci, adr));
  }
  // The device appears (is added to the mock) at the adapter's next discovery start, as one
  // that comes into range while the radio searches.
  void add_dev_at_discovery(const std::string& hci, const std::string& adr, const std::string& nam) {
    std::lock_guard<std::mutex> l(mx_);
    nxt_add_.push_back({hci, adr, nam});
  }
  // Discoveries started on the adapter so far.
  int passes(const std::string& hci) {
    std::lock_guard<std::mutex> l(mx_);
    return pas_[adp_path(hci)];
  }
  // Until at least `n` discoveries have started on the adapter; false after the time limit.
  bool wait_passes(const std::string& hci, int n, int timeout_ms = 30000) {
    std::unique_lock<std::mutex> l(mx_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return pas_[adp_path(hci)] >= n; }) ||
           fail("waited in vain for discovery " + std::to_string(n) + " on " + hci);
  }

 private:
  bool fail(const std::string& why) {
    err_ = why;
    return false;
  }
  sd_bus* ctl() {
    if (ctl_ != nullptr && sd_bus_is_open(ctl_) <= 0) ctl_ = sd_bus_close_unref(ctl_);
    if (ctl_ == nullptr) ctl_ = bz_open(addr_);
    return ctl_;
  }
  template <typename... A>
  bool call(const std::string& pth, const char* ifc, const char* mth, const char* sig, A... a) {
    sd_bus* b = ctl();
    if (b == nullptr) return fail("no bus");
    sd_bus_error e = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(b, "org.bluez", pth.c_str(), ifc, mth, &e, nullptr, sig, a...);
    const bool ok = r >= 0 || fail(std::string(mth) + ": " + (e.message ? e.message : strerror(-r)));
    sd_bus_error_free(&e);
    return ok;
  }
  template <typename... A>
  bool mck(const char* mth, const char* sig, A... a) {
    return call("/", "org.bluez.Mock", mth, sig, a...);
  }
  bool get(const std::string& hci, const char* prop, const char* t, void* out) {
    sd_bus* b = ctl();
    sd_bus_message* rpl = nullptr;
    const bool ok = b != nullptr &&
                    sd_bus_call_method(b, "org.bluez", adp_path(hci).c_str(), "org.freedesktop.DBus.Properties", "Get",
                                       nullptr, &rpl, "ss", "org.bluez.Adapter1", prop) >= 0 &&
                    sd_bus_message_read(rpl, "v", t, out) >= 0;
    sd_bus_message_unref(rpl);
    return ok;
  }

  // An adapter started discovering: every device in range answers, and the pass is counted.
  static int on_adp(sd_bus_message* m, void* self, sd_bus_error*) {
    auto& s = *static_cast<bz_mock*>(self);
    const char* ifc = nullptr;
    if (sd_bus_message_read(m, "s", &ifc) < 0 || sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    bool started = false;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* k = nullptr;
      int v = 0;
      sd_bus_message_read(m, "s", &k);
      if (std::string(k) == "Discovering" && sd_bus_message_read(m, "v", "b", &v) >= 0) started = v != 0;
      else sd_bus_message_skip(m, "v");
      sd_bus_message_exit_container(m);
    }
    if (!started) return 0;
    const std::string adp = sd_bus_message_get_path(m);
    std::vector<std::string> devs;
    std::vector<std::array<std::string, 3>> adds;
    {
      std::lock_guard<std::mutex> l(s.mx_);
      for (const auto& d : s.rng_)
        if (d.rfind(adp + "/", 0) == 0) devs.push_back(d);
      for (auto it = s.nxt_add_.begin(); it != s.nxt_add_.end();) {
        if (adp_path((*it)[0]) == adp) {
          adds.push_back(*it);
          it = s.nxt_add_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const auto& a : adds) {
      sd_bus_call_method_async(sd_bus_message_get_bus(m), nullptr, "org.bluez", "/", "org.bluez.Mock", "AddDevice",
                               nullptr, nullptr, "sss", a[0].c_str(), a[1].c_str(), a[2].c_str());
    }
    for (const auto& d : devs) {
      const int16_t rssi = static_cast<int16_t>(-40 - (s.rssi_++ % 30));
      sd_bus_call_method_async(sd_bus_message_get_bus(m), nullptr, "org.bluez", d.c_str(),
                               "org.freedesktop.DBus.Mock", "UpdateProperties", nullptr, nullptr, "sa{sv}",
                               "org.bluez.Device1", 1, "RSSI", "n", rssi);
    }
    {
      std::lock_guard<std::mutex> l(s.mx_);
      ++s.pas_[adp];
    }
    s.cv_.notify_all();
    return 0;
  }
  // Runs for the mock's life, on a connection of its own; comes back with the bus.
  void radio() {
    while (!stop_) {
      sd_bus* b = bz_open(addr_);
      if (b != nullptr &&
          sd_bus_add_match(b, nullptr,
                           "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                           "arg0='org.bluez.Adapter1'",
                           on_adp, this) >= 0) {
        {
          std::lock_guard<std::mutex> l(mx_);
          radio_gen_ = bus_gen_;  // the bus before this one is dead: this connection is to the current one
        }
        cv_.notify_all();
        while (!stop_) {
          int r = sd_bus_process(b, nullptr);
          if (r < 0) break;
          if (r > 0) continue;
          r = sd_bus_wait(b, 50000);
          if (r < 0 && r != -EINTR) break;
        }
      }
      if (b != nullptr) sd_bus_close_unref(b);
      if (!stop_) usleep(20000);
    }
  }

  std::string dir_, addr_, err_;
  bool ok_ = false;
  pid_t bus_ = -1, mock_ = -1;
  sd_bus* ctl_ = nullptr;  // the test thread's connection
  std::thread radio_;
  std::atomic<bool> stop_{false};
  std::mutex mx_;
  std::condition_variable cv_;
  std::set<std::string> rng_;       // device paths in range
  std::vector<std::array<std::string, 3>> nxt_add_;  // hci, address, name
  std::map<std::string, int> pas_;  // discoveries started, by adapter path
  int rssi_ = 0;                    // the radio thread's alone
  int bus_gen_ = 0, radio_gen_ = 0;  // buses started; the one the radio listens on
};

// What one search through the Find calls reported of a device.
struct bt_found {
  BYTE flg;  // BT_DEV_CON | BT_DEV_REM | BT_DEV_AUT as the record says
  uint32_t cls;
  std::u16string nam;
};
// One search of `mul` inquiry units: every device it reported, by key(address bytes); a device
// reported twice fails the test.
template <class K>
std::map<std::string, bt_found> bt_srch(UCHAR mul, K key) {
  BLUETOOTH_DEVICE_SEARCH_PARAMS p{};
  p.dwSize = sizeof p;
  p.fReturnAuthenticated = p.fReturnRemembered = p.fReturnUnknown = p.fReturnConnected = TRUE;
  p.fIssueInquiry = TRUE;
  p.cTimeoutMultiplier = mul;
  BLUETOOTH_DEVICE_INFO inf{};
  inf.dwSize = sizeof inf;
  std::map<std::string, bt_found> r;
  HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
  if (h == nullptr) return r;
  do {
    const BYTE flg = static_cast<BYTE>((inf.fConnected ? BT_DEV_CON : 0) | (inf.fRemembered ? BT_DEV_REM : 0) |
                                       (inf.fAuthenticated ? BT_DEV_AUT : 0));
    const std::string k = key(inf.Address.rgBytes);
    EXPECT_EQ(r.count(k), 0u) << k << " reported twice";
    r[k] = {flg, inf.ulClassofDevice, inf.szName};
  } while (BluetoothFindNextDevice(h, &inf));
  BluetoothFindDeviceClose(h);
  return r;
}

}  // namespace tu
