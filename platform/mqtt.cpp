#include "platform/mqtt.h"

#include <iconv.h>
#include <mosquitto.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>

#include "platform/bt_bluez.h"

namespace {

// The network thread answers the broker's pings whatever the watcher does (a search of /t=255
// is over five minutes), so the keepalive need not cover a pass.
constexpr int KEEPALIVE_S = 60;
// A broker that is down is tried again after 1, 2, 4, ... seconds, never less often than this.
constexpr unsigned RECONNECT_MAX_S = 30;
// At the end, how long the last messages may take to reach a broker that is there: an exit
// never waits for one that is not.
constexpr auto FLUSH_MAX = std::chrono::seconds(2);
// Addresses kept for republishing; a crowd of strangers' radios beyond that drops the ones OFF
// (their retained OFF stays on the broker).
constexpr size_t ADR_MAX = 8192;

struct adr_st {
  int on = 0;             // table entries of this address that are ON
  bool disc = false;      // selected for discovery
  std::string nam;        // UTF-8, of the latest change that counts
  std::string tim;        // ISO 8601
  std::string cfg_nam;    // the name the discovery record was first published with
};

enum class link { unknown, up, down };

// Shared with the network thread: everything below `mtx` is touched under it only. The block is
// never destroyed, as exit handlers and that thread may still use it.
struct mq {
  std::mutex mtx;
  std::condition_variable cv;
  mosquitto* m = nullptr;
  mqtt_url url;
  enum { disc_paired, disc_all, disc_none } disc = disc_paired;
  std::set<std::string> pg;   // paging targets, as <ADDR>
  std::map<std::string, adr_st> adrs;
  link lk = link::unknown;
  int end_mid = -1;
  bool end_done = false;
  iconv_t cnv = reinterpret_cast<iconv_t>(-1);
};
mq* g = nullptr;

int hex_val(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool pct_dec(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int h = hex_val(in[i + 1]), l = hex_val(in[i + 2]);
    if (h < 0 || l < 0 || (h == 0 && l == 0)) return false;
    out += static_cast<char>(h * 16 + l);
    i += 2;
  }
  return true;
}

// "C1B4071EE95C" (least significant byte first) as "5C:E9:1E:07:B4:C1".
std::string adr_txt(const std::string& a) {
  std::string s;
  for (size_t i = a.size(); i >= 2; i -= 2) {
    s += a.substr(i - 2, 2);
    if (i > 2) s += ':';
  }
  return s;
}

std::string now_iso() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char b[40];
  std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string s = b;
  const long off = tm.tm_gmtoff;
  if (off == 0) return s + "Z";
  const long a = off < 0 ? -off : off;
  std::snprintf(b, sizeof b, "%c%02ld:%02ld", off < 0 ? '-' : '+', a / 3600, a / 60 % 60);
  return s + b;
}

// Code page 932 (as the table keeps names: no control characters) into UTF-8; a byte iconv
// does not take becomes "?".
std::string to_utf8(const char* nam) {
  std::string out;
  if (g->cnv == reinterpret_cast<iconv_t>(-1)) return nam;
  iconv(g->cnv, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(nam);
  size_t in_left = std::strlen(nam);
  char buf[256];
  while (in_left > 0) {
    char* o = buf;
    size_t o_left = sizeof buf;
    const size_t r = iconv(g->cnv, &in, &in_left, &o, &o_left);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      out += '?';
      ++in;
      --in_left;
      iconv(g->cnv, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

std::string pfx(const std::string& adr) { return g->url.prefix + "/" + adr; }

void pub(const std::string& topic, const std::string& payload, int* mid = nullptr, int qos = 0) {
  // With the network thread running this only queues; without a connection it fails, and the
  // state kept here is published at the next one.
  mosquitto_publish(g->m, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, true);
}

void pub_cfg(const std::string& adr, const adr_st& s) {
  const std::string base = pfx(adr);
  const std::string id = "kestrel_" + adr;
  const std::string nam = s.cfg_nam.empty() ? "kestrel " + adr : s.cfg_nam;
  pub("homeassistant/binary_sensor/" + id + "/config",
      "{\"name\":" + mqtt_json_str(nam) + ",\"unique_id\":\"" + id + "\",\"object_id\":\"" + id +
          "\",\"device_class\":\"presence\",\"state_topic\":" + mqtt_json_str(base + "/state") +
          ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",\"json_attributes_topic\":" +
          mqtt_json_str(base + "/attributes") + ",\"availability_topic\":" + mqtt_json_str(g->url.prefix + "/status") +
          ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"device\":{\"identifiers\":[\"" +
          id + "\"],\"name\":" + mqtt_json_str(nam) + ",\"connections\":[[\"bluetooth\",\"" + adr_txt(adr) +
          "\"]]}}");
}

void pub_att(const std::string& adr, const adr_st& s) {
  pub(pfx(adr) + "/attributes", "{\"name\":" + mqtt_json_str(s.nam) + ",\"address\":\"" + adr_txt(adr) +
                                    "\",\"time\":\"" + s.tim + "\"}");
}

void pub_st(const std::string& adr, const adr_st& s) { pub(pfx(adr) + "/state", s.on > 0 ? "ON" : "OFF"); }

// The library's reason, without its full stop: the line goes on after it.
std::string why(int rc) {
  std::string s = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

const char* where() {
  static thread_local char b[300];
  std::snprintf(b, sizeof b, "%s:%d", g->url.host.c_str(), g->url.port);
  return b;
}

// Network thread: the module's own state only, one line on standard error per change of link.
void on_conn(mosquitto*, void*, int rc) {
  std::lock_guard<std::mutex> lk(g->mtx);
  if (rc != 0) {
    if (g->lk != link::down)
      std::fprintf(stderr, "kestrel: MQTT broker %s refused the connection: %s. Trying again.\n", where(),
                   mosquitto_connack_string(rc));
    g->lk = link::down;
    g->cv.notify_all();
    return;
  }
  if (g->lk == link::down) std::fprintf(stderr, "kestrel: MQTT broker %s is back.\n", where());
  g->lk = link::up;
  g->cv.notify_all();
  pub(g->url.prefix + "/status", "online");
  for (const auto& [adr, s] : g->adrs) {
    if (s.disc) pub_cfg(adr, s);
    pub_att(adr, s);
    pub_st(adr, s);
  }
}

void on_disc(mosquitto*, void*, int rc) {
  std::lock_guard<std::mutex> lk(g->mtx);
  g->end_done = g->end_done || rc == 0;
  if (rc != 0 && g->lk != link::down)
    std::fprintf(stderr,
                 "kestrel: MQTT broker %s lost: %s. The states are kept and published again when it is back.\n",
                 where(), why(rc).c_str());
  if (rc != 0) g->lk = link::down;
  g->cv.notify_all();
}

// A TLS handshake that fails in the network thread reaches no callback, only the library's log:
// an error there while no connection is up is why the broker cannot be reached.
void on_log(mosquitto*, void*, int lvl, const char* txt) {
  if (lvl != MOSQ_LOG_ERR || txt == nullptr) return;
  std::lock_guard<std::mutex> lk(g->mtx);
  if (g->lk == link::up) return;
  if (g->lk != link::down)
    std::fprintf(stderr, "kestrel: MQTT broker %s unavailable: %s. Trying again.\n", where(), txt);
  g->lk = link::down;
  g->cv.notify_all();
}

void on_pub(mosquitto*, void*, int mid) {
  std::lock_guard<std::mutex> lk(g->mtx);
  if (mid == g->end_mid) g->end_done = true;
  g->cv.notify_all();
}

// A clean end says "offline" itself (a clean disconnect sends no will), waiting for a broker
// that is there to take it, never for one that is not. True once disconnected cleanly.
bool say_offline() {
  std::unique_lock<std::mutex> lk(g->mtx);
  // A first connection still under way (a short run): the states kept here go out once it is
  // made, and the end waits that long, not for a broker that has answered no.
  g->cv.wait_for(lk, FLUSH_MAX, [] { return g->lk != link::unknown; });
  if (g->lk != link::up) return false;
  int mid = 0;
  if (mosquitto_publish(g->m, &mid, (g->url.prefix + "/status").c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
    return false;
  g->end_mid = mid;
  g->end_done = false;
  if (!g->cv.wait_for(lk, FLUSH_MAX, [] { return g->end_done; })) return false;
  g->end_done = false;
  mosquitto_disconnect(g->m);
  g->cv.wait_for(lk, FLUSH_MAX, [] { return g->end_done || g->lk != link::up; });
  return g->end_done;
}

void mqtt_end() {
  const bool clean = say_offline();
  // The network thread ends before the program: what OpenSSL keeps for it is freed only as it
  // ends. After a clean disconnect it ends by itself; one still trying a broker is cancelled.
  mosquitto_loop_stop(g->m, !clean);
}

int bad(const char* var, const std::string& why) {
  std::fprintf(stderr, "kestrel: %s: %s\n", var, why.c_str());
  return 2;
}

}  // namespace

std::string mqtt_json_str(const std::string& s) {
  std::string o = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      o += '\\';
      o += c;
    } else if (u < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", u);
      o += b;
    } else {
      o += c;
    }
  }
  return o + "\"";
}

bool mqtt_url_rd(const char* txt, mqtt_url& url, std::string& err) {
  std::string t = txt;
  mqtt_url u;
  const size_t sep = t.find("://");
  std::string sch = sep == std::string::npos ? "" : t.substr(0, sep);
  for (char& c : sch) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (sch != "mqtt" && sch != "mqtts") {
    err = "not an mqtt:// or mqtts:// URL";
    return false;
  }
  u.tls = sch == "mqtts";
  std::string rest = t.substr(sep + 3);
  for (const char c : rest)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
      err = "the URL holds a blank or a control character";
      return false;
    }
  const size_t sl = rest.find('/');
  std::string auth = rest.substr(0, sl);
  std::string path = sl == std::string::npos ? "" : rest.substr(sl + 1);
  if (const size_t at = auth.rfind('@'); at != std::string::npos) {
    const std::string ui = auth.substr(0, at);
    auth = auth.substr(at + 1);
    const size_t co = ui.find(':');
    u.has_user = true;
    u.has_pass = co != std::string::npos;
    if (!pct_dec(ui.substr(0, co), u.user) || (u.has_pass && !pct_dec(ui.substr(co + 1), u.pass))) {
      err = "the user or password holds a % not followed by two hex digits (or %00)";
      return false;
    }
    if (u.user.empty()) {
      err = "a user name is needed before '@'";
      return false;
    }
  }
  std::string port;
  if (!auth.empty() && auth[0] == '[') {
    const size_t cb = auth.find(']');
    if (cb == std::string::npos) {
      err = "an IPv6 address without its ']'";
      return false;
    }
    u.host = auth.substr(1, cb - 1);
    const std::string tail = auth.substr(cb + 1);
    if (!tail.empty() && tail[0] != ':') {
      err = "something other than ':port' after ']'";
      return false;
    }
    if (!tail.empty()) port = tail.substr(1);
    if (tail == ":") port = ":";
  } else {
    const size_t co = auth.find(':');
    u.host = auth.substr(0, co);
    if (co != std::string::npos) port = auth.substr(co + 1).empty() ? ":" : auth.substr(co + 1);
  }
  if (u.host.empty()) {
    err = "no broker host";
    return false;
  }
  for (const char c : u.host)
    if (c == '?' || c == '#' || c == '%' || c == '[' || c == ']' || (c == ':' && auth[0] != '[')) {
      err = "the host name holds a character a host name does not";
      return false;
    }
  u.port = u.tls ? 8883 : 1883;
  if (!port.empty()) {
    long p = 0;
    bool ok = port.size() <= 5;
    for (const char c : port) ok = ok && c >= '0' && c <= '9';
    if (ok) p = std::strtol(port.c_str(), nullptr, 10);
    if (!ok || p < 1 || p > 65535) {
      err = "the port is not a number from 1 to 65535";
      return false;
    }
    u.port = static_cast<int>(p);
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (!pct_dec(path, u.prefix)) {
    err = "the prefix holds a % not followed by two hex digits (or %00)";
    return false;
  }
  if (u.prefix.find_first_of("+#?") != std::string::npos) {
    err = "the prefix holds '+', '#' or '?', which a topic cannot";
    return false;
  }
  if (u.prefix.empty()) u.prefix = "kestrel";
  url = u;
  return true;
}

int mqtt_ini() {
  const char* v = std::getenv("KESTREL_MQTT");
  const char* d = std::getenv("KESTREL_MQTT_DISCOVERY");
  mqtt_url url;
  std::string err;
  if (v == nullptr || *v == '\0') return 0;
  // The value may hold a password: the line names what is wrong, never the value.
  if (!mqtt_url_rd(v, url, err)) return bad("KESTREL_MQTT", err + " (mqtt[s]://[user[:password]@]host[:port][/prefix])");
  const std::string ds = d == nullptr ? "" : d;
  if (ds != "" && ds != "paired" && ds != "all" && ds != "none") {
    std::string shown = ds.substr(0, 40);
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return bad("KESTREL_MQTT_DISCOVERY", "\"" + shown + "\" is not paired, all or none");
  }
  g = new mq;
  g->url = url;
  g->disc = ds == "all" ? mq::disc_all : ds == "none" ? mq::disc_none : mq::disc_paired;
  // Paging targets count as the user's own devices. A value BlueZ cannot read is its to report.
  bt_bz_cfg pc;
  std::string pe;
  if (bt_bz_cfg_rd(std::getenv("KESTREL_BT_PAGE"), nullptr, pc, pe))
    for (const auto& a : pc.pg_adr) {
      char b[16];
      std::snprintf(b, sizeof b, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
      g->pg.insert(b);
    }
  g->cnv = iconv_open("UTF-8", "CP932");
  mosquitto_lib_init();
  g->m = mosquitto_new(nullptr, true, nullptr);
  if (g->m == nullptr) return bad("KESTREL_MQTT", "the MQTT client cannot be made");
  const std::string st = url.prefix + "/status";
  int rc = mosquitto_will_set(g->m, st.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && url.has_user)
    rc = mosquitto_username_pw_set(g->m, url.user.c_str(), url.has_pass ? url.pass.c_str() : nullptr);
  if (rc == MOSQ_ERR_SUCCESS && url.tls) rc = mosquitto_int_option(g->m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_reconnect_delay_set(g->m, 1, RECONNECT_MAX_S, true);
  if (rc != MOSQ_ERR_SUCCESS) return bad("KESTREL_MQTT", std::string("cannot be used: ") + mosquitto_strerror(rc));
  mosquitto_connect_callback_set(g->m, on_conn);
  mosquitto_disconnect_callback_set(g->m, on_disc);
  mosquitto_publish_callback_set(g->m, on_pub);
  mosquitto_log_callback_set(g->m, on_log);
  // A broker that is not there yet is tried again by the network thread.
  rc = mosquitto_connect_async(g->m, url.host.c_str(), url.port, KEEPALIVE_S);
  if (rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard<std::mutex> lk(g->mtx);
    if (g->lk != link::down)   // not said by the log already, with the library's reason
      std::fprintf(stderr, "kestrel: MQTT broker %s unavailable: %s. Trying again.\n", where(), why(rc).c_str());
    g->lk = link::down;
  }
  if ((rc = mosquitto_loop_start(g->m)) != MOSQ_ERR_SUCCESS)
    return bad("KESTREL_MQTT", std::string("the MQTT client cannot start: ") + mosquitto_strerror(rc));
  std::atexit(mqtt_end);
  return 0;
}

void mqtt_chg(const char* adr, const char* nam, bool on, bool paired) {
  if (g == nullptr) return;
  const std::string a = adr;
  std::string u8 = to_utf8(nam);
  const std::string tim = now_iso();
  std::lock_guard<std::mutex> lk(g->mtx);
  if (g->adrs.size() >= ADR_MAX && g->adrs.find(a) == g->adrs.end())
    for (auto it = g->adrs.begin(); it != g->adrs.end();) it = it->second.on == 0 ? g->adrs.erase(it) : std::next(it);
  adr_st& s = g->adrs[a];
  const int was = s.on;
  s.on = on ? s.on + 1 : s.on > 0 ? s.on - 1 : 0;
  // An entry going OFF while another of the address stays ON (the old name after a rename)
  // changes nothing a subscriber sees.
  if (!on && s.on > 0) return;
  s.nam = std::move(u8);
  s.tim = tim;
  const bool sel = g->disc == mq::disc_all || (g->disc == mq::disc_paired && (paired || g->pg.count(a) != 0));
  if (sel && !s.disc) {
    s.disc = true;
    s.cfg_nam = s.nam;
    pub_cfg(a, s);
  }
  pub_att(a, s);
  if ((was > 0) != (s.on > 0)) pub_st(a, s);
}
