// kestrel under a service manager: the notify protocol, against a socket the test listens on
// as systemd would.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "run_prog.h"
#include "test_util.h"

namespace {

// A datagram socket bound in dir: what the manager reads its services' messages from.
class notify_sock {
 public:
  explicit notify_sock(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~notify_sock() { close(fd_); }
  // Every message received so far.
  std::vector<std::string> all() {
    std::vector<std::string> v;
    char b[4096];
    ssize_t n;
    while ((n = recv(fd_, b, sizeof b, MSG_DONTWAIT)) > 0) v.emplace_back(b, static_cast<size_t>(n));
    return v;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

TEST(Service, ReadyAtTheFirstPassAndTheWatchdogEveryPass) {
  tu::tmp_dir dir;
  const std::string sock = dir.file("notify"), scn = dir.file("s.scn");
  std::ofstream(scn) << "pass\ndevice 00:00:00:00:00:01 - a\nwait 1100\npass\nwait 1100\npass\nwait 1100\npass\n";
  notify_sock ns(sock);
  auto r = tu::run_prog({}, {"KESTREL_BT_SIM=" + scn, "NOTIFY_SOCKET=" + sock, "WATCHDOG_USEC=3000000",
                             "BAS_TMR_PATH=" + dir.file("t.txt")});
  EXPECT_EQ(r.status, 0);
  auto msgs = ns.all();
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs[0], "READY=1");
  EXPECT_GE(std::count(msgs.begin(), msgs.end(), "WATCHDOG=1"), 3) << "a ping a pass, at most one a second";
  // Without a watchdog: ready, and nothing more.
  r = tu::run_prog({}, {"KESTREL_BT_SIM=" + scn, "NOTIFY_SOCKET=" + sock, "BAS_TMR_PATH=" + dir.file("t.txt")});
  EXPECT_EQ(ns.all(), std::vector<std::string>{"READY=1"});
}

}  // namespace
