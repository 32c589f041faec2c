// The scripted stack: the scenario reader, what each search reports, and how the script ends.
#include "platform/bt_sim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fstream>

namespace {

std::string tmp_dir() {
  const char* d = std::getenv("KESTREL_TEST_TMP");
  if (d == nullptr || *d == '\0') d = std::getenv("TMPDIR");
  if (d == nullptr || *d == '\0') d = "/tmp";
  mkdir(d, 0755);
  return d;
}

// A scenario file that lives as long as the object.
class scn {
 public:
  explicit scn(const std::string& txt) {
    pth_ = tmp_dir() + "/bt_sim_XXXXXX";
    const int fd = mkstemp(pth_.data());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, txt.data(), txt.size()), static_cast<ssize_t>(txt.size()));
    close(fd);
  }
  ~scn() { unlink(pth_.c_str()); }
  const char* pth() const { return pth_.c_str(); }

 private:
  std::string pth_;
};

// UTF-8 text as bytes, whatever the compiler does to narrow literals.
std::string u8s(const char8_t* s) { return reinterpret_cast<const char*>(s); }

double now_s() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

BLUETOOTH_DEVICE_SEARCH_PARAMS all_prm() {
  BLUETOOTH_DEVICE_SEARCH_PARAMS p{};
  p.dwSize = sizeof p;
  p.fReturnAuthenticated = p.fReturnRemembered = p.fReturnUnknown = p.fReturnConnected = TRUE;
  p.fIssueInquiry = TRUE;
  p.cTimeoutMultiplier = 4;
  return p;
}

struct seen {
  std::string adr;  // rgBytes in storage order, as the watcher prints them
  std::string flg;  // the set flags among C, R, A
  std::u16string nam;
};

std::string adr_txt(const BLUETOOTH_DEVICE_INFO& inf) {
  char b[13];
  const BYTE* a = inf.Address.rgBytes;
  std::snprintf(b, sizeof b, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
  return b;
}

seen to_seen(const BLUETOOTH_DEVICE_INFO& inf) {
  seen s{adr_txt(inf), "", inf.szName};
  if (inf.fConnected) s.flg += 'C';
  if (inf.fRemembered) s.flg += 'R';
  if (inf.fAuthenticated) s.flg += 'A';
  return s;
}

// One search through the public calls, as the watcher makes it.
std::vector<seen> srch() {
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  BLUETOOTH_DEVICE_INFO inf{};
  inf.dwSize = sizeof inf;
  std::vector<seen> r;
  HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
  if (h == nullptr) return r;
  do r.push_back(to_seen(inf));
  while (BluetoothFindNextDevice(h, &inf));
  EXPECT_EQ(BluetoothFindDeviceClose(h), TRUE);
  return r;
}

// Plays `txt` on a fresh stack.
std::unique_ptr<scn> play(const std::string& txt) {
  auto s = std::make_unique<scn>(txt);
  auto sim = std::make_unique<bt_sim>(s->pth());
  EXPECT_EQ(sim->err(), "");
  bt_stk_set(std::move(sim));
  return s;
}

// The fault message of a scenario, with the file name taken off.
std::string flt(const std::string& txt) {
  scn s(txt);
  bt_sim sim(s.pth());
  const std::string& e = sim.err();
  if (e.compare(0, std::strlen(s.pth()), s.pth()) != 0) return "no file name in: " + e;
  EXPECT_EQ(sim.pas_cnt(), 0u) << "a faulty scenario must play nothing";
  return e.substr(std::strlen(s.pth()));
}

class BtSim : public ::testing::Test {
 protected:
  void TearDown() override { bt_stk_set(nullptr); }
};

TEST_F(BtSim, PassesReportTheirDevicesInOrder) {
  auto s = play(
      "# two devices, then none, then one\n"
      "pass\n"
      "  device 00:11:22:33:44:55 C Phone  \n"
      "\tdevice AA:BB:CC:DD:EE:FF - \n"
      "\n"
      "   # indented comment\n"
      "pass\n"
      "pass\r\n"
      "device 01:02:03:04:05:06 R Headset\r\n");
  auto p1 = srch();
  ASSERT_EQ(p1.size(), 2u);
  EXPECT_EQ(p1[0].adr, "554433221100");
  EXPECT_EQ(p1[0].flg, "C");
  EXPECT_EQ(p1[0].nam, u"Phone");
  EXPECT_EQ(p1[1].adr, "FFEEDDCCBBAA");
  EXPECT_EQ(p1[1].flg, "");
  EXPECT_EQ(p1[1].nam, u"");
  EXPECT_TRUE(srch().empty());
  auto p3 = srch();
  ASSERT_EQ(p3.size(), 1u);
  EXPECT_EQ(p3[0].adr, "060504030201");
  EXPECT_EQ(p3[0].nam, u"Headset");  // CR LF ends the line, not the name
}

TEST_F(BtSim, AddressIsStoredLeastSignificantFirst) {
  auto s = play("pass\ndevice 00:11:22:33:44:55 -\ndevice 0a:Bc:dE:f0:09:9F -\n");
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  BLUETOOTH_DEVICE_INFO inf{};
  inf.dwSize = sizeof inf;
  HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
  ASSERT_NE(h, nullptr);
  const BYTE want[6] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
  EXPECT_EQ(std::memcmp(inf.Address.rgBytes, want, 6), 0);
  EXPECT_EQ(inf.Address.ullLong, 0x001122334455ull);  // the upper two bytes stay zero
  ASSERT_TRUE(BluetoothFindNextDevice(h, &inf));
  EXPECT_EQ(adr_txt(inf), "9F09F0DEBC0A");
  BluetoothFindDeviceClose(h);
}

TEST_F(BtSim, FlagsInAnyOrder) {
  auto s = play(
      "pass\n"
      "device 00:00:00:00:00:01 CRA a\n"
      "device 00:00:00:00:00:02 ARC b\n"
      "device 00:00:00:00:00:03 RA c\n"
      "device 00:00:00:00:00:04 AC d\n"
      "device 00:00:00:00:00:05 R\n"
      "device 00:00:00:00:00:06  \t -\tx\n");
  auto d = srch();
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[0].flg, "CRA");
  EXPECT_EQ(d[1].flg, "CRA");
  EXPECT_EQ(d[2].flg, "RA");
  EXPECT_EQ(d[3].flg, "CA");
  EXPECT_EQ(d[4].flg, "R");
  EXPECT_EQ(d[5].flg, "");
  EXPECT_EQ(d[5].nam, u"x");  // a tab is a blank too
}

TEST_F(BtSim, NamesKeepTheirTextWithinTheRecord) {
  std::string lng(300, 'n');
  std::string pair_at_cut(246, 'p');
  pair_at_cut += "\xF0\x9F\x98\x80";  // units 247 and 248: the pair does not fit
  auto s = play(
      "\xEF\xBB\xBFpass\n"  // an editor's byte order mark
      "device 00:00:00:00:00:01 C My  Phone  X\n"
      "device 00:00:00:00:00:02 C   two blanks kept\n"
      "device 00:00:00:00:00:03 C " + u8s(u8"電話 スマホ") + "\n"
      "device 00:00:00:00:00:04 C smile \xF0\x9F\x98\x80\n"
      "device 00:00:00:00:00:05 C " + lng + "\n"
      "device 00:00:00:00:00:06 C " + pair_at_cut + "\n"
      "device 00:00:00:00:00:07 C lone \xED\xA0\xBD!\n");
  auto d = srch();
  ASSERT_EQ(d.size(), 7u);
  EXPECT_EQ(d[0].nam, u"My  Phone  X");
  EXPECT_EQ(d[1].nam, u"  two blanks kept");  // only the one separating blank goes
  EXPECT_EQ(d[2].nam, u"電話 スマホ");
  EXPECT_EQ(d[3].nam, u"smile \U0001F600");
  EXPECT_EQ(d[4].nam, std::u16string(247, u'n'));
  EXPECT_EQ(d[5].nam, std::u16string(246, u'p'));
  EXPECT_EQ(d[6].nam, std::u16string(u"lone ") + char16_t(0xD83D) + u"!");
}

TEST_F(BtSim, WaitMakesTheSearchTakeThatLong) {
  auto s = play("pass\nwait 300\ndevice 00:00:00:00:00:01 C a\npass\npass\nwait 1\nwait 150\n");
  double t = now_s();
  EXPECT_EQ(srch().size(), 1u);
  double dt = now_s() - t;
  EXPECT_GE(dt, 0.29);
  EXPECT_TRUE(srch().empty());
  t = now_s();
  EXPECT_TRUE(srch().empty());
  dt = now_s() - t;
  EXPECT_GE(dt, 0.14);  // the last wait of a pass counts
}

TEST_F(BtSim, EndOfTheScriptExitsCleanly) {
  // The whole run in a child: its output, its exit handlers and its status.
  scn s("pass\ndevice 00:00:00:00:00:01 C a\npass\n");
  int fd[2];
  ASSERT_EQ(pipe(fd), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fd[1], 1);
    close(fd[0]);
    close(fd[1]);
    std::atexit([] { std::fputs("|handler", stdout); });
    bt_stk_set(std::make_unique<bt_sim>(s.pth()));
    std::printf("passes:%zu", srch().size());
    std::printf(",%zu", srch().size());
    srch();  // the end
    _exit(99);
  }
  close(fd[1]);
  std::string out;
  char b[256];
  ssize_t n;
  while ((n = read(fd[0], b, sizeof b)) > 0) out.append(b, static_cast<size_t>(n));
  close(fd[0]);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_EQ(out, "passes:1,0|handler");
}

TEST_F(BtSim, EmptyScenarioEndsAtTheFirstSearch) {
  scn s("# nothing to play\n\n");
  EXPECT_EXIT(
      {
        bt_stk_set(std::make_unique<bt_sim>(s.pth()));
        srch();
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(BtSim, FaultsNameTheLineAndWhatIsWrong) {
  EXPECT_EQ(flt("pass\nfoo\n"), ":2: unknown directive \"foo\": expected pass, device or wait");
  EXPECT_EQ(flt("Pass\n"), ":1: unknown directive \"Pass\": expected pass, device or wait");
  EXPECT_EQ(flt("passes\n"), ":1: unknown directive \"passes\": expected pass, device or wait");
  EXPECT_EQ(flt("pass now\n"), ":1: \"pass\" takes no argument, got \"now\"");
  EXPECT_EQ(flt("# c\n\ndevice 00:11:22:33:44:55 C a\n"), ":3: \"device\" before the first \"pass\"");
  EXPECT_EQ(flt("wait 5\npass\n"), ":1: \"wait\" before the first \"pass\"");
  EXPECT_EQ(flt("pass\nwait\n"), ":2: \"wait\" needs a time in milliseconds");
  EXPECT_EQ(flt("pass\nwait -5\n"),
            ":2: malformed wait time \"-5\": expected milliseconds as decimal digits");
  EXPECT_EQ(flt("pass\nwait 1.5\n"),
            ":2: malformed wait time \"1.5\": expected milliseconds as decimal digits");
  EXPECT_EQ(flt("pass\nwait 99999999999\n"), ":2: wait time \"99999999999\" is too long");
  EXPECT_EQ(flt("pass\nwait 5 ms\n"), ":2: unexpected text after the wait time: \"ms\"");
  EXPECT_EQ(flt("pass\ndevice\n"),
            ":2: malformed address \"\": expected six hexadecimal bytes like 00:11:22:33:44:55");
  const char* bad_adr[] = {"00:11:22:33:44", "00:11:22:33:44:55:66", "00-11-22-33-44-55",
                           "0:11:22:33:44:55:", "00:11:22:33:44:5G", "001122334455"};
  for (const char* a : bad_adr) {
    EXPECT_EQ(flt(std::string("pass\ndevice ") + a + " C x\n"),
              std::string(":2: malformed address \"") + a +
                  "\": expected six hexadecimal bytes like 00:11:22:33:44:55")
        << a;
  }
  const char* bad_flg[] = {"", "c", "CC", "RAR", "X", "C-", "--", "CRAx"};
  for (const char* f : bad_flg) {
    EXPECT_EQ(flt(std::string("pass\ndevice 00:11:22:33:44:55 ") + f + "\n"),
              std::string(":2: malformed flags \"") + f +
                  "\": expected \"-\" or the letters C, R, A, each at most once")
        << f;
  }
  EXPECT_EQ(flt("pass\ndevice 00:11:22:33:44:55 C bad \xC3\x28\n"),
            ":2: the device name is not valid UTF-8");
  EXPECT_EQ(flt("pass\ndevice 00:11:22:33:44:55 C over\xC0\xAF\n"),
            ":2: the device name is not valid UTF-8");
  EXPECT_EQ(flt("pass\ndevice 00:11:22:33:44:55 C cut\xE9\x9B\n"),
            ":2: the device name is not valid UTF-8");
  EXPECT_EQ(flt(std::string("pass\ndevice 00:11:22:33:44:55 C a\0b\n", 37)),
            ":2: the device name holds a NUL byte");
  // Past what the record holds the name is still read through.
  EXPECT_EQ(flt("pass\ndevice 00:11:22:33:44:55 C " + std::string(300, 'n') + "\xC3\x28\n"),
            ":2: the device name is not valid UTF-8");
  EXPECT_EQ(flt("pass\ndevice 00:11:22:33:44:55 C " + std::string(247, 'n') + "\xFF\n"),
            ":2: the device name is not valid UTF-8");
  EXPECT_EQ(flt("pass\ndevice 00:11:22:33:44:55 C " + std::string(260, 'n') + std::string("\0", 1) + "\n"),
            ":2: the device name holds a NUL byte");
  // Only the first fault is told; what follows it is not read.
  EXPECT_EQ(flt("pass\nbad one\nbad two\n"), ":2: unknown directive \"bad\": expected pass, device or wait");
  // Unprintable or long text is quoted on one line.
  EXPECT_EQ(flt("pass\n\x01\x7F\"x\n"), ":2: unknown directive \"\\x01\\x7F\\x22x\": expected pass, device or wait");
  EXPECT_EQ(flt(std::string(100, 'z') + "\n"),
            ":1: unknown directive \"" + std::string(40, 'z') + "...\": expected pass, device or wait");
}

TEST_F(BtSim, FaultEndsTheRunAtTheFirstSearch) {
  scn s("pass\ndevice 00:11:22:33:44:55 C fine\npass\ndevice 00:11:22:33:44 C bad\n");
  const std::string want = std::string("^") + s.pth() + ":4: malformed address \"00:11:22:33:44\"[^\n]*\n$";
  EXPECT_EXIT(
      {
        bt_stk_set(std::make_unique<bt_sim>(s.pth()));
        srch();
        std::exit(3);
      },
      ::testing::ExitedWithCode(2), want);
}

TEST_F(BtSim, UnreadableScenarioEndsTheRunAtTheFirstSearch) {
  const std::string gone = tmp_dir() + "/no_such_scenario.scn";
  EXPECT_EXIT(
      {
        bt_stk_set(std::make_unique<bt_sim>(gone.c_str()));
        srch();
        std::exit(3);
      },
      ::testing::ExitedWithCode(2), "^" + gone + ": cannot read the scenario: No such file or directory\n$");
  // A directory opens but does not read.
  const std::string dir = tmp_dir();
  bt_sim sim(dir.c_str());
  EXPECT_EQ(sim.err(), dir + ": cannot read the scenario: Is a directory");
}

// What is no scenario is never taken for one that has ended: a line longer than 64 KiB (the first
// of /dev/zero), or memory that runs out while it is read.
TEST_F(BtSim, WhatCannotBeReadWholeIsAFault) {
  EXPECT_EQ(flt("pass\n" + std::string(65537, 'x') + "\npass\n"), ":2: the line is longer than 65536 bytes");
  scn longest("pass\ndevice 00:11:22:33:44:55 C " + std::string(65536 - 28, 'n') + "\n");
  EXPECT_EQ(bt_sim(longest.pth()).err(), "") << "65536 bytes are a line";
  bt_sim zero("/dev/zero");
  EXPECT_EQ(zero.err(), "/dev/zero:1: the line is longer than 65536 bytes");
  EXPECT_EQ(zero.pas_cnt(), 0u);
#ifndef __SANITIZE_ADDRESS__   // its allocator aborts instead of failing under an address cap
  std::string txt = "pass\n";
  for (int i = 0; i < 200000; ++i) txt += "device 00:11:22:33:44:55 C a name of some length\n";
  scn big(txt);
  // In a child whose address space ends a few MiB above what it uses.
  const pid_t pid = fork();
  if (pid == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (8u << 20);
    const rlimit lim{cap, cap};
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    bt_sim sim(big.pth());
    _exit(sim.err() == std::string(big.pth()) + ":0: out of memory reading the scenario" ||
                  sim.err().find(": out of memory reading the scenario") != std::string::npos
              ? (sim.pas_cnt() == 0 ? 0 : 2)
              : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
#endif
}

TEST_F(BtSim, LargeScenarioIsReadOnceAndPlaysInFull) {
  std::string txt;
  constexpr int N = 20000;
  for (int i = 0; i < N; ++i) {
    char b[160];
    std::snprintf(b, sizeof b, "pass\n# pass %d\ndevice 00:00:00:00:%02X:%02X C phone %d\ndevice 11:22:33:44:55:66 R\n",
                  i, (i >> 8) & 0xFF, i & 0xFF, i);
    txt += b;
  }
  txt += "pass\ndevice 00:00:00:00:00:00 - " + std::string(60000, 'L') + "\n";  // a long line
  scn s(txt);
  auto sim = std::make_unique<bt_sim>(s.pth());
  ASSERT_EQ(sim->err(), "");
  // Read once, when the stack is made: the file is not needed any more.
  ASSERT_EQ(unlink(s.pth()), 0);
  EXPECT_EQ(sim->pas_cnt(), static_cast<size_t>(N + 1));
  bt_stk_set(std::move(sim));
  for (int i = 0; i < N; ++i) {
    auto d = srch();
    ASSERT_EQ(d.size(), 2u);
    const std::string num = std::to_string(i);
    ASSERT_EQ(d[0].nam, u"phone " + std::u16string(num.begin(), num.end()));
  }
  EXPECT_EQ(srch()[0].nam.size(), 247u);
}

TEST_F(BtSim, AnyBytesAreReadSafely) {
  // Random text built from the scenario's own pieces and raw bytes: never a crash, and every
  // reading either plays or names a line.
  const char* pieces[] = {"pass", "device", "wait", " ", "\t", "\n", "\r", "#", ":", "-", "C",
                          "R", "A", "00", "FF", "12:34:56:78:9A:BC", "\xE3\x81", "\x82", "\xF0\x9F",
                          "9", "\0", "\xFF"};
  std::mt19937 rng(20240611);
  for (int round = 0; round < 300; ++round) {
    std::string txt = "pass\n";
    const int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      const char* p = pieces[rng() % std::size(pieces)];
      txt.append(p, *p ? std::strlen(p) : 1);
    }
    scn s(txt);
    bt_sim sim(s.pth());
    if (!sim.err().empty()) {
      EXPECT_EQ(sim.err().find('\n'), std::string::npos);
      EXPECT_EQ(sim.err().compare(0, std::strlen(s.pth()) + 1, std::string(s.pth()) + ":"), 0);
    } else {
      EXPECT_GE(sim.pas_cnt(), 1u);
    }
  }
}

}  // namespace
