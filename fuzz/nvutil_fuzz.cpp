// NVUtil::ReadFromStream over arbitrary text: the read loop ends, every name
// is non-empty and trimmed, and the pairs are exactly what a line-by-line
// reference reads (name=value, empty lines skipped, stop at the first line
// without '=' or with an empty name).
#include <stdint.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/nvutil.h"

namespace {
bool Blank(char c) {
  return c == ' ' || c == '\t';
}

std::vector<std::pair<std::string, std::string>> Reference(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) break;
    std::string name = line.substr(0, eq);
    size_t b = 0, e = name.size();
    while (b < e && Blank(name[b])) ++b;
    while (e > b && Blank(name[e - 1])) --e;
    name = name.substr(b, e - b);
    if (name.empty()) break;
    out.emplace_back(name, line.substr(eq + 1));
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  std::vector<std::pair<std::string, std::string>> got;
  std::string name, value;
  size_t guard = 0;
  while (NVUtil::ReadFromStream(in, name, value)) {
    FUZZ_CHECK(++guard <= size + 1);  // the loop ends
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(!Blank(name.front()) && !Blank(name.back()));
    got.emplace_back(name, value);
  }
  FUZZ_CHECK(got == Reference(text));
  return 0;
}
