// The broker URL reader and the JSON strings of the MQTT output.
#include "platform/mqtt.h"

#include <gtest/gtest.h>

namespace {

TEST(MqttUrl, ReadsEveryPart) {
  const struct {
    const char* in;
    bool tls;
    const char *user, *pass, *host;
    int port;
    const char* prefix;
  } rows[] = {
      {"mqtt://broker", false, "", "", "broker", 1883, "kestrel"},
      {"MQTTS://broker/", true, "", "", "broker", 8883, "kestrel"},
      {"mqtt://u@10.0.0.2:1884/home/bt/", false, "u", "", "10.0.0.2", 1884, "home/bt"},
      {"mqtt://a%40b:p%3A%2F@@h:1/x%20y", false, "a@b", "p:/@", "h", 1, "x y"},
      {"mqtts://[::1]:65535/k", true, "", "", "::1", 65535, "k"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    mqtt_url u;
    std::string err;
    ASSERT_TRUE(mqtt_url_rd(r.in, u, err)) << err;
    EXPECT_EQ(u.tls, r.tls);
    EXPECT_EQ(u.user, r.user);
    EXPECT_EQ(u.pass, r.pass);
    EXPECT_EQ(u.host, r.host);
    EXPECT_EQ(u.port, r.port);
    EXPECT_EQ(u.prefix, r.prefix);
  }
}

TEST(MqttUrl, RefusesWithoutShowingThePassword) {
  for (const char* in : {"", "tcp://h", "mqtt:/h", "mqtt://:pw@h", "mqtt://u:secret%4@h", "mqtt://u:secret%00@h",
                         "mqtt://h:", "mqtt://h:00000", "mqtt://[::1", "mqtt://[::1]x", "mqtt://h/+",
                         "mqtt://h\t/x", "mqtt://h?x"}) {
    SCOPED_TRACE(in);
    mqtt_url u;
    std::string err;
    EXPECT_FALSE(mqtt_url_rd(in, u, err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(err.find("secret"), std::string::npos);
  }
}

TEST(MqttJson, EscapesWhatAStringCannotHold) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("\x01\n\x1f", 3), "\"\\u0001\\u000a\\u001f\""},
      {"\xe3\x82\xb9 /", "\"\xe3\x82\xb9 /\""},
  };
  for (const auto& r : rows) EXPECT_EQ(mqtt_json_str(r.in), r.out) << r.in;
}

}  // namespace
