// The MQTT output against a real broker of the test's own (Debian's mosquitto on 127.0.0.1, a
// free port), read back with mosquitto_sub: retained topics after a scenario, the last will,
// a broker that goes away and comes back, a rename, credentials, TLS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "bz_mock.h"
#include "run_prog.h"
#include "test_util.h"

namespace {

int free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

class Mqtt : public testing::Test {
 protected:
  tu::tmp_dir dir;
  int port = free_port();
  pid_t broker = -1;
  std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
  int tls_port = 0;        // a second listener, TLS with a certificate of the test's own authority
  std::string sub_auth;   // -u/-P for mosquitto_sub

  void TearDown() override { tu::bz_reap(broker); }
  // A certificate authority and the broker's certificate for 127.0.0.1 and localhost.
  void make_certs() {
    const std::string d = dir.file("");
    const std::string cmd =
        "(cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kestrel-test-ca "
        "-keyout ca.key -out ca.pem && openssl req -newkey rsa:2048 -nodes -subj /CN=localhost "
        "-keyout srv.key -out srv.csr && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' >srv.ext && "
        "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile srv.ext "
        "-out srv.pem) >'" + d + "/openssl.log' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << tu::slurp(dir.file("openssl.log"));
    tls_port = free_port();
  }
  // With `pw` "user:password", the broker lets that user in only.
  void start(const std::string& pw = "") {
    std::ofstream c(dir.file("m.conf"));
    // As root, mosquitto would become user "mosquitto", who cannot read the test's directory.
    c << "per_listener_settings false\nuser " << getpwuid(getuid())->pw_name << "\nlistener " << port
      << " 127.0.0.1\n";
    if (tls_port != 0)
      c << "listener " << tls_port << " 127.0.0.1\ncafile " << dir.file("ca.pem") << "\ncertfile "
        << dir.file("srv.pem") << "\nkeyfile " << dir.file("srv.key") << "\n";
    if (pw.empty()) {
      c << "allow_anonymous true\n";
    } else {
      const size_t co = pw.find(':');
      ASSERT_EQ(std::system(("mosquitto_passwd -b -c " + dir.file("pw") + " '" + pw.substr(0, co) + "' '" +
                             pw.substr(co + 1) + "'").c_str()), 0);
      c << "allow_anonymous false\npassword_file " << dir.file("pw") << "\n";
      sub_auth = " -u '" + pw.substr(0, co) + "' -P '" + pw.substr(co + 1) + "'";
    }
    c.close();
    broker = tu::bz_spawn({"/usr/sbin/mosquitto", "-c", dir.file("m.conf")}, {}, dir.file("m.log"));
    ASSERT_GT(broker, 0);
    for (int i = 0; i < 500; ++i) {
      if (tu::slurp(dir.file("m.log")).find("running") != std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "mosquitto did not start: " << tu::slurp(dir.file("m.log"));
  }
  void stop() { tu::bz_reap(broker); }
  // Every retained topic and its payload.
  std::map<std::string, std::string> retained() {
    const std::string cmd = "mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) + sub_auth +
                            " -v -t '#' --retained-only -W 1 2>/dev/null";
    std::map<std::string, std::string> r;
    FILE* p = popen(cmd.c_str(), "r");
    char line[4096];
    while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
      std::string l = line;
      if (!l.empty() && l.back() == '\n') l.pop_back();
      const size_t sp = l.find(' ');
      r[l.substr(0, sp)] = sp == std::string::npos ? "" : l.substr(sp + 1);
    }
    if (p != nullptr) pclose(p);
    return r;
  }
  // Polls until `topic` holds `want` (the broker takes a moment): what it held last.
  std::string await(const std::string& topic, const std::string& want) {
    std::string got;
    for (int i = 0; i < 20 && got != want; ++i) got = retained()[topic];
    return got;
  }
  std::vector<std::string> env(const std::string& scn, std::vector<std::string> more = {}) {
    std::ofstream(dir.file("s.scn"), std::ios::binary) << scn;
    more.insert(more.end(), {"KESTREL_BT_SIM=" + dir.file("s.scn"), "BAS_TMR_PATH=" + dir.file("tmr.txt"),
                             "BAS_MEMLOG_PATH=" + dir.file("m1.log"), "BAS_MEMLLOG_PATH=" + dir.file("m2.log")});
    return more;
  }
};

const std::string SCN =
    "pass\nwait 20\ndevice F4:73:35:1C:08:2E CRA Keyboard\ndevice 00:1B:66:8E:3D:42 - "
    "\xe3\x83\xaa\xe3\x83\x93\xe3\x83\xb3\xe3\x82\xb0\ndevice 11:22:33:44:55:66 - Stranger\n"
    "pass\nwait 20\ndevice F4:73:35:1C:08:2E CRA Keyboard\n";
const std::string CFG = "homeassistant/binary_sensor/kestrel_";

// Discovery selects paired devices and paging targets, everything, or nothing; states are
// published for all, with /nfp too, and a clean end says offline.
TEST_F(Mqtt, ScenarioLeavesStatesAndTheDiscoverySelected) {
  start();
  const struct {
    const char* disc;
    std::set<std::string> cfgs;
  } rows[] = {
      {"", {"2E081C3573F4", "423D8E661B00"}},
      {"paired", {"2E081C3573F4", "423D8E661B00"}},
      {"all", {"2E081C3573F4", "423D8E661B00", "665544332211"}},
      {"none", {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.disc);
    ASSERT_EQ(std::system(("mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) +
                           " -t '#' --remove-retained --retained-only -W 1 >/dev/null 2>&1; true").c_str()), 0);
    const auto res = tu::run_prog({"/c=0", "/nfp"}, env(SCN, {"KESTREL_MQTT=" + url, "KESTREL_MQTT_DISCOVERY=" +
                                                        std::string(r.disc), "KESTREL_BT_PAGE=00:1B:66:8E:3D:42"}));
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, "");
    auto t = retained();
    EXPECT_EQ(t["kestrel/status"], "offline");
    EXPECT_EQ(t["kestrel/2E081C3573F4/state"], "ON");
    EXPECT_EQ(t["kestrel/423D8E661B00/state"], "OFF");
    EXPECT_EQ(t["kestrel/665544332211/state"], "OFF");
    EXPECT_TRUE(std::regex_match(t["kestrel/423D8E661B00/attributes"],
                                 std::regex("\\{\"name\":\"\xe3\x83\xaa\xe3\x83\x93\xe3\x83\xb3\xe3\x82\xb0\","
                                            "\"address\":\"00:1B:66:8E:3D:42\",\"time\":\"\\d{4}-\\d\\d-\\d\\dT"
                                            "\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d)\"\\}")))
        << t["kestrel/423D8E661B00/attributes"];
    std::set<std::string> cfgs;
    for (const auto& [k, v] : t)
      if (k.rfind(CFG, 0) == 0) {
        cfgs.insert(k.substr(CFG.size(), 12));
        EXPECT_NE(v.find("\"device_class\":\"presence\""), std::string::npos);
        EXPECT_NE(v.find("\"state_topic\":\"kestrel/" + k.substr(CFG.size(), 12) + "/state\""), std::string::npos);
        EXPECT_NE(v.find("\"availability_topic\":\"kestrel/status\""), std::string::npos);
      }
    EXPECT_EQ(cfgs, r.cfgs);
  }
}

// A new name is a new table entry; the old one going OFF must not turn the address OFF.
TEST_F(Mqtt, RenameKeepsTheAddressOn) {
  start();
  const auto res = tu::run_prog({"/c=0"}, env("pass\ndevice 5C:E9:1E:07:B4:C1 - old\npass\n"
                                              "device 5C:E9:1E:07:B4:C1 - new\n",
                                              {"KESTREL_MQTT=" + url + "/home/bt"}));
  ASSERT_EQ(res.status, 0) << res.err;
  ASSERT_NE(res.out.find("C1B4071EE95C-old=OFF"), std::string::npos);
  auto t = retained();
  EXPECT_EQ(t["home/bt/C1B4071EE95C/state"], "ON");
  EXPECT_EQ(t["home/bt/C1B4071EE95C/attributes"].rfind("{\"name\":\"new\"", 0), 0u);
}

std::string long_scn(int passes) {
  std::string s;
  for (int i = 0; i < passes; ++i)
    s += "pass\nwait 30\ndevice F4:73:35:1C:08:2E CRA Keyboard\n" +
         std::string(i % 2 == 0 ? "device 11:22:33:44:55:66 - Toggler\n" : "");
  return s;
}

TEST_F(Mqtt, KilledSaysOfflineThroughTheLastWill) {
  start();
  tu::live_prog k({"/c=0"}, env(long_scn(2000), {"KESTREL_MQTT=" + url}));
  ASSERT_EQ(k.line(), "2E081C3573F4-Keyboard=ON\n");
  ASSERT_EQ(await("kestrel/status", "online"), "online");
  kill(k.pid(), SIGKILL);
  EXPECT_EQ(await("kestrel/status", "offline"), "offline");
}

// The broker goes away (its retained topics with it): passes go on meanwhile, and when it is
// back kestrel is online again with the states it kept.
TEST_F(Mqtt, BrokerBackGetsEverythingAgainWhilePassesGoOn) {
  start();
  tu::live_prog k({"/c=0"}, env(long_scn(4000), {"KESTREL_MQTT=" + url}));
  ASSERT_EQ(k.line(), "2E081C3573F4-Keyboard=ON\n");
  ASSERT_EQ(await("kestrel/2E081C3573F4/state", "ON"), "ON");
  stop();
  // Each line is one pass of the toggling device.
  for (int i = 0; i < 60; ++i) ASSERT_NE(k.line(5000).find("665544332211-Toggler="), std::string::npos) << i;
  start();
  EXPECT_EQ(await("kestrel/status", "online"), "online");
  EXPECT_EQ(await("kestrel/2E081C3573F4/state", "ON"), "ON");
  EXPECT_NE(retained()["kestrel/665544332211/state"], "");
  kill(k.pid(), SIGTERM);
  EXPECT_EQ(k.wait_end(), 128 + SIGTERM);
  const std::string err = k.err_all();
  EXPECT_NE(err.find("MQTT broker 127.0.0.1:" + std::to_string(port) + " lost"), std::string::npos) << err;
  EXPECT_NE(err.find("is back"), std::string::npos) << err;
}

TEST_F(Mqtt, CredentialsReachTheBrokerAndNeverStandardError) {
  ASSERT_NO_FATAL_FAILURE(start("kes trel:p@ss:w/d"));
  const struct {
    const char* cred;
    bool in;
  } rows[] = {{"kes%20trel:wrongpass@", false}, {"kes%20trel:p%40ss%3Aw%2Fd@", true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.cred);
    const auto res = tu::run_prog({}, env("pass\ndevice F4:73:35:1C:08:2E CRA Keyboard\n",
                                          {"KESTREL_MQTT=mqtt://" + std::string(r.cred) + "127.0.0.1:" +
                                           std::to_string(port)}));
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(retained()["kestrel/2E081C3573F4/state"], r.in ? "ON" : "");
    EXPECT_EQ(res.err.find("wrongpass"), std::string::npos) << res.err;
    EXPECT_EQ(res.err.find("p@ss"), std::string::npos) << res.err;
  }
}

// mqtts:// trusts the system's authorities (OpenSSL's, which SSL_CERT_FILE replaces): a broker
// whose certificate none of them signed is never sent a state, and the user is told why. The
// broker answers late (stopped for a moment), as one across a network does: the handshake then
// fails in the client's network thread, not in the call that starts the connection.
TEST_F(Mqtt, TlsReachesOnlyABrokerTheSystemTrustsAndSaysWhyNot) {
  ASSERT_NO_FATAL_FAILURE(make_certs());
  ASSERT_NO_FATAL_FAILURE(start());
  const struct {
    const char* host;
    bool trusted;
  } rows[] = {{"localhost", false}, {"localhost", true}, {"127.0.0.1", true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.host) + (r.trusted ? " trusted" : " untrusted"));
    ASSERT_EQ(std::system(("mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) +
                           " -t '#' --remove-retained --retained-only -W 1 >/dev/null 2>&1; true").c_str()), 0);
    std::vector<std::string> e = {"KESTREL_MQTT=mqtts://" + std::string(r.host) + ":" + std::to_string(tls_port)};
    if (r.trusted) e.push_back("SSL_CERT_FILE=" + dir.file("ca.pem"));
    kill(broker, SIGSTOP);
    std::thread cont([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      kill(broker, SIGCONT);
    });
    const auto res = tu::run_prog({"/c=0"}, env("pass\ndevice F4:73:35:1C:08:2E CRA Keyboard\n", e));
    cont.join();
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(retained()["kestrel/2E081C3573F4/state"], r.trusted ? "ON" : "");
    if (r.trusted) {
      EXPECT_EQ(res.err, "");
    } else {
      EXPECT_EQ(res.err.rfind("kestrel: MQTT broker localhost:" + std::to_string(tls_port) + " unavailable: ", 0), 0u)
          << res.err;
      EXPECT_NE(res.err.find("certificate verify failed"), std::string::npos) << res.err;
      EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), 1) << res.err;
    }
  }
}

TEST(MqttUrl, UnreadableEndsAtOnceWithOneLine) {
  for (const char* v : {"http://h", "mqtt://", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:x", "mqtt://u:se%zzcret@h",
                        "mqtt://h/a+b", "mqtt://h/#", "mqtt://h h"}) {
    SCOPED_TRACE(v);
    const auto res = tu::run_prog({}, {std::string("KESTREL_MQTT=") + v, "KESTREL_BT_SIM=/nonexistent"});
    EXPECT_EQ(res.status, 2);
    EXPECT_EQ(res.out, "");
    EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), 1) << res.err;
    EXPECT_EQ(res.err.rfind("kestrel: KESTREL_MQTT: ", 0), 0u) << res.err;
    EXPECT_EQ(res.err.find("se%zzcret"), std::string::npos);
  }
}

}  // namespace
