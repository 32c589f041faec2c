// Presence over MQTT (Linux): each change of state is published, retained, to the broker that
// KESTREL_MQTT names, with Home Assistant's discovery records and an availability topic whose
// last will says when the program is gone.
//
// The watcher only hands changes over; a network thread of libmosquitto's own talks to the
// broker, so a broker that is down, slow or refusing never holds a pass back. The latest state
// of every address is kept here and published again at each (re)connection.
//
// Topics (<prefix> from the URL, "kestrel" by default; <ADDR> as in the state lines):
//   <prefix>/status                                  online / offline (last will)
//   <prefix>/<ADDR>/state                            ON / OFF
//   <prefix>/<ADDR>/attributes                       {"name","address","time"}
//   homeassistant/binary_sensor/kestrel_<ADDR>/config  discovery, for the devices
//                                                    KESTREL_MQTT_DISCOVERY selects
#pragma once
#include <cstdint>
#include <string>

#ifdef _WIN32
// The Windows build has event commands only.
inline int mqtt_ini() { return 0; }
inline void mqtt_chg(const char*, const char*, bool, bool) {}
#else
// Reads KESTREL_MQTT and KESTREL_MQTT_DISCOVERY and, when the first is set, starts the client.
// 0, or 2 after one line on standard error when a value cannot be read.
int mqtt_ini();
// One table entry changed: `adr` the 12 hex digits of the state lines, `nam` its name in code
// page 932, `paired` whether the stack reports it paired (false when unknown). An address is
// ON while any of its entries is.
void mqtt_chg(const char* adr, const char* nam, bool on, bool paired);

struct mqtt_url {
  bool tls = false;
  std::string user, pass, host, prefix;
  bool has_user = false, has_pass = false;
  int port = 0;
};
// mqtt[s]://[user[:password]@]host[:port][/prefix]; false with the reason in `err` (which never
// holds the password).
bool mqtt_url_rd(const char* txt, mqtt_url& url, std::string& err);
// `s` (UTF-8) as a JSON string, quotes included.
std::string mqtt_json_str(const std::string& s);
#endif
