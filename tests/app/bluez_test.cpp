// The watcher run as a program over BlueZ: the BlueZ mock on a private bus plays bluetoothd
// and the radio, and the tests take away and give back the adapter, bluetoothd and the bus
// while kestrel runs.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "bz_mock.h"
#include "run_prog.h"
#include "test_util.h"

namespace {

// kestrel running, both its outputs read as they come; killed with the object.
class bz_prog {
 public:
  explicit bz_prog(const std::vector<std::string>& env, const std::vector<std::string>& args = {})
      : p_(tu::spawn_prog(args, env)) {}
  ~bz_prog() { stop(); }
  bz_prog(const bz_prog&) = delete;
  bz_prog& operator=(const bz_prog&) = delete;

  bool started() const { return p_.pid > 0; }
  // The next line of standard output or error, line feed included; "" when none came within
  // the time.
  std::string line(int timeout_ms = 20000) { return next(out_, timeout_ms); }
  std::string err_line(int timeout_ms = 20000) { return next(err_, timeout_ms); }
  // Reads what comes for `ms` milliseconds.
  void run_for(int ms) {
    const int64_t end = tu::now_ms() + ms;
    for (int64_t now = tu::now_ms(); now < end; now = tu::now_ms()) rd(static_cast<int>(end - now));
  }
  // Everything of the outputs not yet taken as lines.
  std::string out_rest() { return rd(0), out_; }
  std::string err_rest() { return rd(0), err_; }
  // Kills it; the CPU time (user + system) it used, in seconds.
  double stop() {
    if (p_.pid <= 0) return cpu_;
    kill(p_.pid, SIGKILL);
    int st = 0;
    rusage ru{};
    wait4(p_.pid, &st, 0, &ru);
    // What it wrote before it ended is still in the pipes.
    for (int fd : {p_.out, p_.err}) {
      char b[4096];
      ssize_t n;
      while ((n = read(fd, b, sizeof b)) > 0) (fd == p_.out ? out_ : err_).append(b, static_cast<size_t>(n));
    }
    p_.pid = -1;
    close(p_.out);
    close(p_.err);
    cpu_ = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return cpu_;
  }

 private:
  void rd(int timeout_ms) {
    if (p_.pid <= 0) return;
    pollfd fds[2] = {{p_.out, POLLIN, 0}, {p_.err, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char b[4096];
      const ssize_t n = read(fds[i].fd, b, sizeof b);
      if (n > 0) (i == 0 ? out_ : err_).append(b, static_cast<size_t>(n));
    }
  }
  std::string next(std::string& buf, int timeout_ms) {
    const int64_t end = tu::now_ms() + timeout_ms;
    for (;;) {
      const size_t lf = buf.find('\n');
      if (lf != std::string::npos) {
        std::string l = buf.substr(0, lf + 1);
        buf.erase(0, lf + 1);
        return l;
      }
      const int64_t left = end - tu::now_ms();
      if (left < 0) return "";
      rd(static_cast<int>(left));
    }
  }

  tu::spawned_prog p_;
  std::string out_, err_;
  double cpu_ = 0;
};

bool has(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

class BlueZ : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bz.ok()) << bz.err(); }

  // kestrel on the mock's bus, with the default options, in the scratch directory. A shortened
  // inquiry unit keeps each pass short (4 units of 50 ms).
  std::vector<std::string> env(const char* unit_ms = "50") {
    return {bz.env(),
            "KESTREL_BT_SIM=",
            std::string("KESTREL_BT_UNIT_MS=") + unit_ms,
            "KESTREL_CHARSET=",
            "BAS_TMR_PATH=" + dir.file("t.txt"),
            "BAS_MEMLOG_PATH=" + dir.file("m.log"),
            "BAS_MEMLLOG_PATH=" + dir.file("l.log")};
  }
  // Until the adapter's discovery number `n` has started; what kestrel printed for the passes
  // before it is then on its way to the reader.
  void passes(int n) { ASSERT_TRUE(bz.wait_passes("hci0", n)) << bz.err(); }
  // A device that comes into range on hci0 and stays there.
  void arrive(const std::string& adr, const std::string& nam, const std::string& hci = "hci0") {
    ASSERT_TRUE(bz.add_dev(hci, adr, nam)) << bz.err();
    bz.in_range(hci, adr, true);
  }

  tu::tmp_dir dir;
  tu::bz_mock bz;
};

const std::string PHONE = "AA:BB:CC:DD:EE:01";
const std::string PHONE_KEY = "01EEDDCCBBAA-phone";

TEST_F(BlueZ, UnpairedDeviceIsOnWhileInRangeAndOffAfterTheCountDown) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  bz_prog k(env());
  ASSERT_TRUE(k.started());
  passes(1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  // Heard at every pass: nothing more to say.
  passes(bz.passes("hci0") + 6);
  EXPECT_EQ(k.out_rest(), "");

  bz.in_range("hci0", PHONE, false);
  ASSERT_TRUE(bz.rm_dev("hci0", PHONE));
  // Three passes without it are absorbed (the pass it left in may have heard it still).
  passes(bz.passes("hci0") + 3);
  EXPECT_EQ(k.out_rest(), "") << "OFF before the count-down ran out";
  EXPECT_EQ(k.line(), PHONE_KEY + "=OFF\n");
  EXPECT_EQ(k.err_rest(), "");
}

TEST_F(BlueZ, PairedDeviceIsAbsentUntilConnectedAndCountsDownAfter) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  const std::string hs = "00:1B:66:0A:0B:0C", key = "0C0B0A661B00-headset";
  ASSERT_TRUE(bz.add_dev("hci0", hs, "headset") && bz.pair("hci0", hs));
  bz_prog k(env());
  passes(4);
  EXPECT_EQ(k.out_rest(), "") << "paired and switched off: not present";

  ASSERT_TRUE(bz.connect("hci0", hs));
  EXPECT_EQ(k.line(), key + "=ON\n");
  // Connected, never heard by the radio: present all the same.
  passes(bz.passes("hci0") + 6);
  EXPECT_EQ(k.out_rest(), "");

  ASSERT_TRUE(bz.disconnect("hci0", hs));
  passes(bz.passes("hci0") + 3);
  EXPECT_EQ(k.out_rest(), "") << "OFF before the count-down ran out";
  EXPECT_EQ(k.line(), key + "=OFF\n");
  EXPECT_EQ(k.err_rest(), "");
}

TEST_F(BlueZ, RenamedDeviceIsANewEntryAndTheOldOneFades) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  bz_prog k(env());
  passes(1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  ASSERT_TRUE(bz.set_name("hci0", PHONE, "my phone"));
  EXPECT_EQ(k.line(), "01EEDDCCBBAA-my phone=ON\n");
  EXPECT_EQ(k.line(), PHONE_KEY + "=OFF\n");
  passes(bz.passes("hci0") + 5);
  EXPECT_EQ(k.out_rest(), "");
}

TEST_F(BlueZ, JapaneseNamesComeOutInShiftJis) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  bz_prog k(env());
  passes(1);
  arrive("00:00:00:00:00:02", "\xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB\xE3\x83\xBC");  // スピーカー
  EXPECT_EQ(k.line(), "020000000000-\x83\x58\x83\x73\x81\x5B\x83\x4A\x81\x5B=ON\n");
}

TEST_F(BlueZ, AdapterPluggedInAfterTheStartIsUsed) {
  bz_prog k(env());
  const std::string gone = k.err_line();
  EXPECT_TRUE(has(gone, "Bluetooth unavailable") && has(gone, "no Bluetooth adapter")) << gone;
  k.run_for(1000);  // passes without an adapter: they have nothing more to say
  EXPECT_EQ(k.err_rest(), "");
  ASSERT_TRUE(bz.add_adapter("hci0"));
  passes(1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  const std::string back = k.err_line();
  EXPECT_TRUE(has(back, "Bluetooth available again") && has(back, "hci0")) << back;
  passes(bz.passes("hci0") + 3);
  EXPECT_EQ(k.err_rest(), "") << "one line each way";
  EXPECT_EQ(k.out_rest(), "");
}

TEST_F(BlueZ, AdapterUnpluggedAndPluggedBackIn) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  bz_prog k(env());
  passes(1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");

  ASSERT_TRUE(bz.rm_adapter("hci0"));
  const std::string gone = k.err_line();
  EXPECT_TRUE(has(gone, "Bluetooth unavailable") && has(gone, "no Bluetooth adapter")) << gone;
  EXPECT_EQ(k.line(), PHONE_KEY + "=OFF\n") << "nothing is heard without the adapter";

  const int before = bz.passes("hci0");
  ASSERT_TRUE(bz.add_adapter("hci0"));
  passes(before + 1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  EXPECT_TRUE(has(k.err_line(), "Bluetooth available again"));
  passes(bz.passes("hci0") + 3);
  EXPECT_EQ(k.err_rest(), "");
  EXPECT_EQ(k.out_rest(), "");
}

TEST_F(BlueZ, BluetoothdKilledAndRestartedWithAnotherAdapter) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  bz_prog k(env());
  passes(1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");

  bz.kill_mock();
  const std::string gone = k.err_line();
  EXPECT_TRUE(has(gone, "Bluetooth unavailable") && has(gone, "org.bluez")) << gone;
  EXPECT_EQ(k.line(), PHONE_KEY + "=OFF\n");

  // A new bluetoothd: a new unique name, new objects, the adapter under another name.
  ASSERT_TRUE(bz.start_mock()) << bz.err();
  ASSERT_TRUE(bz.add_adapter("hci1"));
  ASSERT_TRUE(bz.wait_passes("hci1", 1));
  arrive(PHONE, "phone", "hci1");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  const std::string back = k.err_line();
  EXPECT_TRUE(has(back, "Bluetooth available again") && has(back, "hci1")) << back;
  ASSERT_TRUE(bz.wait_passes("hci1", bz.passes("hci1") + 3));
  EXPECT_EQ(k.err_rest(), "");
  EXPECT_EQ(k.out_rest(), "");
}

TEST_F(BlueZ, SystemBusGoneAndBack) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  bz_prog k(env());
  passes(1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");

  bz.kill_bus();
  const std::string gone = k.err_line();
  EXPECT_TRUE(has(gone, "Bluetooth unavailable") && has(gone, "system bus")) << gone;
  EXPECT_EQ(k.line(), PHONE_KEY + "=OFF\n");
  // Some passes without any bus before it comes back.
  k.run_for(1000);
  EXPECT_EQ(k.out_rest(), "");

  ASSERT_TRUE(bz.start_bus() && bz.start_mock()) << bz.err();
  ASSERT_TRUE(bz.add_adapter("hci0"));
  const int before = bz.passes("hci0");
  passes(before + 1);
  arrive(PHONE, "phone");
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  EXPECT_TRUE(has(k.err_line(), "Bluetooth available again"));
  passes(bz.passes("hci0") + 3);
  EXPECT_EQ(k.err_rest(), "") << "one line each way";
}

TEST_F(BlueZ, WithoutAnAdapterItWaitsInsteadOfSpinning) {
  // Passes of 4 x 100 ms for 20 s: a busy loop would cost about as much CPU time as that.
  bz_prog k(env("100"));
  k.run_for(20000);
  const double cpu = k.stop();
  EXPECT_LT(cpu, 1.0);
  EXPECT_EQ(k.out_rest(), "");
  const std::string err = k.err_rest();
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "exactly one line: " << err;
  EXPECT_TRUE(has(err, "no Bluetooth adapter")) << err;
}

TEST_F(BlueZ, ADeviceWithoutANameHasAnEmptyOneNotItsAddress) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  // As bluetoothd lists a device whose name it has not read: no Name, the dashed address as Alias.
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_AA_BB_CC_DD_EE_01", PHONE.c_str(), nullptr, "AA-BB-CC-DD-EE-01", true));
  bz_prog k(env());
  EXPECT_EQ(k.line(), "01EEDDCCBBAA-=ON\n");
}

TEST_F(BlueZ, AMultiplierAbove48SearchesNotAndSaysSoOnce) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  ASSERT_TRUE(bz.add_dev("hci0", PHONE, "phone") && bz.pair("hci0", PHONE) && bz.connect("hci0", PHONE));
  // 49 units of 1 ms: some twenty passes.
  bz_prog k(env("1"), {"/t=49"});
  k.run_for(1000);
  const std::string err = k.err_rest();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_TRUE(has(err, "/t=49 is above 48")) << err;
  EXPECT_EQ(bz.calls("hci0", "StartDiscovery"), 0);
  EXPECT_EQ(k.out_rest(), "") << "no search, nothing found";
}

TEST_F(BlueZ, RestKeepsTheRadioIdleBeforeEachSearch) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  ASSERT_TRUE(bz.add_dev("hci0", PHONE, "phone") && bz.pair("hci0", PHONE) && bz.connect("hci0", PHONE));
  // Passes of 1 s of rest and 4 x 10 ms of inquiry: back to back, some eighty in 3.5 s.
  std::vector<std::string> e = env("10");
  e.push_back("KESTREL_BT_REST=1");
  bz_prog k(e);
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  const int at = bz.passes("hci0");
  k.run_for(3500);
  EXPECT_GE(bz.passes("hci0") - at, 1);
  EXPECT_LE(bz.passes("hci0") - at, 4);
  EXPECT_EQ(k.err_rest(), "");
}

TEST_F(BlueZ, UnreadableValuesEndTheProgramWithStatus2) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  for (const char* v : {"KESTREL_BT_PAGE=phone", "KESTREL_BT_PAGE=5C:E9:1E:07:B4", "KESTREL_BT_REST=1m",
                        "KESTREL_BT_REST=99999"}) {
    std::vector<std::string> e = env();
    e.push_back(v);
    const tu::prog_out r = tu::run_prog({}, e);
    EXPECT_EQ(r.status, 2) << v;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(has(r.err, std::string(v).substr(0, std::string(v).find('=') + 1))) << r.err;
  }
}

// This machine's kernel has no Bluetooth sockets: paging says so once, the watching goes on.
TEST_F(BlueZ, PagingWithoutBluetoothSocketsSaysSoAndWatchesOn) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  const int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET, 0);
  if (fd >= 0) close(fd);
  if (fd >= 0) GTEST_SKIP() << "this machine has Bluetooth sockets: paging would reach for a real radio";
  std::vector<std::string> e = env();
  e.push_back("KESTREL_BT_PAGE=paired,5C:E9:1E:07:B4:C1");
  bz_prog k(e);
  const std::string l = k.err_line();
  EXPECT_TRUE(has(l, "KESTREL_BT_PAGE") && has(l, "paging stays off")) << l;
  passes(1);
  ASSERT_TRUE(bz.add_dev("hci0", PHONE, "phone") && bz.pair("hci0", PHONE) && bz.connect("hci0", PHONE));
  EXPECT_EQ(k.line(), PHONE_KEY + "=ON\n");
  passes(bz.passes("hci0") + 3);
  EXPECT_EQ(k.err_rest(), "") << "one line";
}

}  // namespace
