// The example systemd unit: systemd accepts it as it stands, and it keeps what running kestrel
// as a service needs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
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

TEST(UnitFile, SystemdAnalyzeVerifyFindsNothingToSay) {
  const char* tool = nullptr;
  for (const char* t : {"/usr/bin/systemd-analyze", "/bin/systemd-analyze"})
    if (access(t, X_OK) == 0) tool = t;
  if (tool == nullptr) GTEST_SKIP() << "systemd-analyze is not installed (tools/deps test installs systemd)";

  // As installed, but with the program where this build put it: verify checks that it exists.
  std::string txt = tu::slurp(UNIT);
  const std::string bin = "/usr/local/bin/kestrel";
  const size_t at = txt.find("ExecStart=" + bin);
  ASSERT_NE(at, std::string::npos);
  txt.replace(at + 10, bin.size(), KESTREL_BIN);
  tu::tmp_dir dir;
  const std::string pth = dir.file("kestrel.service");
  std::ofstream(pth) << txt;
  int st = -1;
  const std::string out = sh(std::string(tool) + " verify " + pth, st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(out, "") << "warnings are faults too";

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

}  // namespace
