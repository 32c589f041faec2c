#include "app/tim.h"

#include <cstdio>
#include <ctime>

namespace {
char tim_buf[64];
}

const char* tim_str() {
  const std::time_t now = std::time(nullptr);
  std::tm lt = {};
  if (localtime_r(&now, &lt) == nullptr) {
    tim_buf[0] = '\0';
    return tim_buf;
  }
  std::snprintf(tim_buf, sizeof tim_buf, "%d/%d/%d %02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1,
                lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
  return tim_buf;
}

void tim_prt() { std::printf("%s", tim_str()); }
