// The command line as the process layer splits it, over arbitrary bytes (no crash, every
// argument made of the line's own bytes); and a value quoted in a template as the event
// command escapes it: split again, it is exactly one argument holding exactly the value.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/cmd_run.h"
#include "fuzz_util.h"
#include "platform/process.h"

namespace {

// Whole characters only, no NUL and no 0xFE or 0xFF: what a value is when it reaches the line.
std::string value_of(const std::string& s) {
  std::string v;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b == 0 || b == 0xFE || b == 0xFF) continue;
    if (sjis_lead(b)) {
      if (i + 1 == s.size() || s[i + 1] == 0 || static_cast<unsigned char>(s[i + 1]) >= 0xFE) break;
      v += s[i];
      v += s[++i];
    } else {
      v += s[i];
    }
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string line = fz::upto_nul(data, size);
  size_t total = 0;
  for (const std::string& a : cmdline_split(line.c_str())) total += a.size();
  if (total > line.size()) std::abort();

  // The value between template text: "<pre>\"<value>\"<post>", pre and post without quotes or
  // backslashes of their own at the edges.
  const std::string v = value_of(std::string(reinterpret_cast<const char*>(data), size));
  for (const char* around : {"\"", "\"x ", "\"\\\\"}) {
    const std::string f = std::string(around) + CMD_ESC + CMD_VAL_BGN + v + CMD_ESC + CMD_VAL_END + "\" tail";
    std::string out(2 * f.size() + 1, '\0');
    cmd_lit(f.c_str(), false, out.data());
    const std::vector<std::string> args = cmdline_split(out.c_str());
    // A value that begins its argument with "-" begins it with "?".
    std::string vv = v;
    if (!vv.empty() && vv[0] == '-' && std::string(around + 1).empty()) vv[0] = '?';
    const std::string want = std::string(around + 1) == "x " ? "x " + v : std::string(around + 1) == "\\\\" ? "\\\\" + v : vv;
    if (args.size() != 2 || args[0] != want || args[1] != "tail") std::abort();
  }
  return 0;
}
