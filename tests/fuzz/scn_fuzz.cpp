// The scenario reader over arbitrary bytes: it either names one line in one line, or plays
// every pass, each device with a sound record (a UTF-16 name that fits, the size kept).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "platform/bt_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  char path[] = "/tmp/kestrel-scn-fuzz-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  if (write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
  {
    bt_sim sim(path);
    unlink(path);
    if (!sim.err().empty()) {
      // One line, naming the file and a line number.
      if (sim.err().find('\n') != std::string::npos) std::abort();
      if (sim.err().compare(0, std::string(path).size() + 1, std::string(path) + ":") != 0) std::abort();
      return 0;
    }
    // Passes with waits would sleep; those are read but not played.
    if (std::string(reinterpret_cast<const char*>(data), size).find("wait") != std::string::npos) return 0;
    BLUETOOTH_DEVICE_SEARCH_PARAMS prm{};
    prm.dwSize = sizeof prm;
    for (size_t p = 0; p < sim.pas_cnt(); ++p) {
      auto f = sim.srch(prm);
      if (!f) continue;
      BLUETOOTH_DEVICE_INFO inf{};
      inf.dwSize = sizeof inf;
      while (f->nxt(inf)) {
        if (inf.dwSize != sizeof inf) std::abort();
        size_t n = 0;
        while (n < BLUETOOTH_MAX_NAME_SIZE && inf.szName[n] != 0) ++n;
        if (n == BLUETOOTH_MAX_NAME_SIZE) std::abort();   // always terminated
        for (size_t i = 0; i < n; ++i) {
          // Never half a pair at the cut.
          if (inf.szName[i] >= 0xD800 && inf.szName[i] <= 0xDBFF && i + 1 == n && n == BLUETOOTH_MAX_NAME_SIZE - 1)
            std::abort();
        }
      }
    }
  }
  unlink(path);
  return 0;
}
