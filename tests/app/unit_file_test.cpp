// The example systemd unit: systemd accepts it as it stands, and it keeps what running kestrel
// as a service needs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_util.h"

namespace {

const std::string UNIT = std::string(KESTREL_SRC_DIR) + "/examples/kestrel.service";

std::string sh(const std::string& cmd, int& status) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return status = -1, out;
  char b[4096];
  size_t n;
  while ((n = fread(b, 1, sizeof b, p)) > 0) out.append(b, n);
  const int st = pclose(p);
  status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

const char* analyze() {
  for (const char* t : {"/usr/bin/systemd-analyze", "/bin/systemd-analyze"})
    if (access(t, X_OK) == 0) return t;
  return nullptr;
}

// The unit as installed, with the program where this build put it (verify checks that it
// exists), in dir.
std::string installed(const tu::tmp_dir& dir) {
  std::string txt = tu::slurp(UNIT);
  const std::string bin = "/usr/local/bin/kestrel";
  const size_t at = txt.find("ExecStart=" + bin);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) txt.replace(at + 10, bin.size(), KESTREL_BIN);
  const std::string pth = dir.file("kestrel.service");
  std::ofstream(pth) << txt;
  return pth;
}

TEST(UnitFile, SystemdAnalyzeVerifyFindsNothingToSay) {
  const char* tool = analyze();
  if (tool == nullptr) GTEST_SKIP() << "systemd-analyze is not installed (tools/deps test installs systemd)";

  tu::tmp_dir dir;
  const std::string pth = installed(dir);
  std::string txt = tu::slurp(pth);
  int st = -1;
  const std::string out = sh(std::string(tool) + " verify " + pth, st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(out, "") << "warnings are faults too";
  // With the network drop-in too.
  const std::string d = dir.file("kestrel.service.d");
  std::filesystem::create_directory(d);
  std::filesystem::copy_file(std::string(KESTREL_SRC_DIR) + "/examples/kestrel.service.d/network.conf", d + "/network.conf");
  const std::string with = sh(std::string(tool) + " verify " + pth, st);
  EXPECT_EQ(st, 0) << with;
  EXPECT_EQ(with, "");
  std::filesystem::remove_all(d);

  // A fault of the kind verify must catch, to show that it looks at all.
  std::string bad = txt;
  const size_t svc = bad.find("[Service]\n");
  ASSERT_NE(svc, std::string::npos);
  bad.insert(svc + 10, "WorkingDirectory=relative\n");
  std::ofstream(pth) << bad;
  sh(std::string(tool) + " verify " + pth, st);
  EXPECT_NE(st, 0);
}

TEST(UnitFile, JournalInUtf8DiagnosticsInTheStateDirectoryRestartOnFailure) {
  const std::string txt = tu::slurp(UNIT);
  auto line = [&](const std::string& l) { return txt.find("\n" + l + "\n") != std::string::npos; };
  EXPECT_TRUE(line("Environment=KESTREL_CHARSET=UTF-8"));
  EXPECT_TRUE(line("StateDirectory=kestrel"));
  EXPECT_TRUE(line("WorkingDirectory=%S/kestrel"));
  EXPECT_TRUE(line("Restart=on-failure"));
  // Every diagnostics file is named, in the state directory.
  for (const char* v : {"BAS_MEMLOG_PATH=%S/kestrel/", "BAS_MEMLLOG_PATH=%S/kestrel/", "BAS_TMR_PATH=%S/kestrel/"})
    EXPECT_NE(txt.find(v), std::string::npos) << v;
}

TEST(UnitFile, TheSandboxRatesTwoOrLower) {
  const char* tool = analyze();
  if (tool == nullptr) GTEST_SKIP() << "systemd-analyze is not installed (tools/deps test installs systemd)";
  tu::tmp_dir dir;
  int st = -1;
  const std::string out = sh(std::string(tool) + " security --offline=true " + installed(dir), st);
  const std::string tag = "Overall exposure level for kestrel.service: ";
  const size_t at = out.find(tag);
  ASSERT_NE(at, std::string::npos) << out;
  const double level = std::stod(out.substr(at + tag.size()));
  EXPECT_LE(level, 2.0) << out;
  // The notify protocol and the watchdog, as the watcher speaks them.
  const std::string txt = tu::slurp(UNIT);
  for (const char* l : {"Type=notify", "NotifyAccess=main", "WatchdogSec=3min", "UMask=0077", "PrivateNetwork=yes"})
    EXPECT_NE(txt.find(std::string("\n") + l + "\n"), std::string::npos) << l;
}

}  // namespace
