// The template formatter over an arbitrary template and values: what it gives is what a plain
// reading of the template gives (each @name@ of a stored key its value, @@ one @, the rest as
// it stands, read as Shift-JIS characters); a name not stored or a template ending inside a
// placeholder fails after what came before; every block is given back.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

// The reference: 0 and the text, or -1 and the text up to the failure.
int reference(const std::string& tpl, const std::map<std::string, std::string>& vals, std::string* out) {
  const std::vector<std::string> chars = fz::chars_of(tpl);
  for (size_t i = 0; i < chars.size(); ++i) {
    if (chars[i] != "@") {
      *out += chars[i];
      continue;
    }
    std::string name;
    size_t j = i + 1;
    while (j < chars.size() && chars[j] != "@") name += chars[j++];
    if (j == chars.size()) return -1;
    i = j;
    if (name.empty()) {
      *out += "@";
      continue;
    }
    const auto it = vals.find(name);
    if (it == vals.end()) return -1;
    *out += fz::decoded(it->second);   // values are read as characters too
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // Input: the template, then NUL-separated values of the keys "a", "b" and a Shift-JIS key.
  std::string in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  for (size_t at = 0; parts.size() < 4;) {
    const size_t nul = in.find('\0', at);
    parts.push_back(in.substr(at, nul == std::string::npos ? std::string::npos : nul - at));
    if (nul == std::string::npos) break;
    at = nul + 1;
  }
  const char* keys[] = {"a", "b", "\x96\xBC"};
  std::map<std::string, std::string> vals;
  const size_t before = fz::blocks();
  err_no = 0;
  {
    vmap vm{};
    if (vmap_set(&vm, 0) != 0) std::abort();
    for (size_t k = 1; k < parts.size(); ++k) {
      if (vmap_put_str_str(&vm, nullptr, keys[k - 1], parts[k].c_str(), 0) != 0) std::abort();
      vals[keys[k - 1]] = parts[k];
    }
    fz::cstr tpl(parts[0]);
    stream fmt{};
    if (vmap_fmt_stream(&fmt, &vm, &tpl.cs) != 0) std::abort();
    std::string got;
    uint32_t ch = 0;
    int st;
    while ((st = stream_pop(&fmt, &ch)) == 0) {
      got += static_cast<char>(ch & 0xFF);
      if (ch >> 8 & 0xFF) got += static_cast<char>(ch >> 8 & 0xFF);
    }
    stream_end(&fmt);
    std::string want;
    const int wst = reference(parts[0], vals, &want);
    if ((wst == 0) != (st == ERR_EOD) || got != want) std::abort();
    vmap_end(&vm);
  }
  if (fz::blocks() != before) std::abort();
  return 0;
}
