// Search and replace over arbitrary text, pattern and replacement: the characters of the text
// with every occurrence of the pattern, left to right and not overlapping, replaced; an empty
// pattern refused; every block given back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

std::string reference(const std::string& in, const std::string& fnd, const std::string& rep) {
  const auto t = fz::chars_of(in);
  const auto f = fz::chars_of(fnd);
  const std::string r = fz::decoded(rep);
  std::string out;
  for (size_t i = 0; i < t.size();) {
    bool hit = i + f.size() <= t.size();
    for (size_t k = 0; hit && k < f.size(); ++k) hit = t[i + k] == f[k];
    if (hit) {
      out += r;
      i += f.size();
    } else {
      out += t[i++];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> p;
  for (size_t at = 0; p.size() < 3;) {
    const size_t nul = in.find('\0', at);
    p.push_back(in.substr(at, nul == std::string::npos ? std::string::npos : nul - at));
    if (nul == std::string::npos) break;
    at = nul + 1;
  }
  while (p.size() < 3) p.emplace_back();
  const size_t before = fz::blocks();
  err_no = 0;
  {
    stream i{}, f{}, r{}, s{};
    cstream_str_set(&i, p[0].c_str());
    cstream_str_set(&f, p[1].c_str());
    cstream_str_set(&r, p[2].c_str());
    const int st = cstream_replace(&s, &i, &f, &r);
    if (fz::chars_of(p[1]).empty()) {
      if (st == 0) std::abort();   // an empty pattern is refused
      stream_end(&i);
    } else {
      if (st != 0) std::abort();
      char* out = nullptr;
      if (cstream_to_vstr(&s, &out) != 0 || out == nullptr) std::abort();
      if (reference(p[0], p[1], p[2]) != out) std::abort();
      _free(&out);
    }
  }
  if (fz::blocks() != before) std::abort();
  return 0;
}
