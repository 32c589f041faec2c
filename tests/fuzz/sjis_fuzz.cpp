// The Shift-JIS decoder and encoder over arbitrary bytes: the codes are the bytes read as code
// page 932 reads them (a lead byte and the byte after it, a lone lead byte at the end dropped),
// collected back into a text they give those bytes again, and every block is given back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  const std::string text = fz::upto_nul(data, size);
  std::vector<uint32_t> want;
  std::string back;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (sjis_lead(b)) {
      if (i + 1 == text.size()) break;
      want.push_back(b | uint32_t{static_cast<unsigned char>(text[i + 1])} << 8);
      back += text.substr(i++, 2);
    } else {
      want.push_back(b);
      back += text[i];
    }
  }
  const size_t before = fz::blocks();
  err_no = 0;
  {
    stream cs{};
    if (cstream_str_set(&cs, text.c_str()) != 0) std::abort();
    uint32_t* codes = nullptr;
    if (cstream_to_vcstr(&cs, &codes) != 0 || codes == nullptr) std::abort();
    size_t n = 0;
    while (codes[n] != 0) ++n;
    if (std::vector<uint32_t>(codes, codes + n) != want) std::abort();
    _free(&codes);
  }
  {
    fz::cstr in(text);   // the decoder built in place, as the option scan builds it
    char* out = nullptr;
    if (cstream_to_vstr(&in.cs, &out) != 0 || out == nullptr || back != out) std::abort();
    _free(&out);
  }
  if (fz::blocks() != before) std::abort();
  return 0;
}
