// ConvertIconIndex against a reference written apart from it: the digit run is read in 64-bit
// arithmetic, reduced modulo 2^32 as it goes, and negated modulo 2^32.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/command.h"

namespace {

std::int64_t Reference(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::string(" \t\n\v\f\r").find(text[i]) != std::string::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = (value * 10 + static_cast<std::uint64_t>(text[i] - '0')) % 4294967296u;
  if (negative) value = (4294967296u - value) % 4294967296u;
  return value >= 2147483648u ? static_cast<std::int64_t>(value) - 4294967296 : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));
  if (ConvertIconIndex(text.c_str()) != Reference(text)) std::abort();
  return 0;
}
