// NVUtil::ReadFromStream over arbitrary text: the read loop ends, and the
// pairs are exactly what a line-by-line reference reads (name=value, empty
// lines skipped, the name without blanks around it); a line without '=' or
// with an empty name gives false, assigns nothing, and reading goes on after it.
#include <stdint.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/nvutil.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Reference(const std::string& text) {
  Pairs out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t eq = line.find('='), first = line.find_first_not_of(" \t");
    if (eq == std::string::npos || first >= eq)
      out.emplace_back("=", "=");  // false, nothing assigned (no name holds '=')
    else
      out.emplace_back(line.substr(first, line.find_last_not_of(" \t", eq - 1) + 1 - first),
                       line.substr(eq + 1));
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  Pairs got;
  for (std::string name = "=", value = "=";; name = value = "=") {
    const bool ok = NVUtil::ReadFromStream(in, name, value);
    FUZZ_CHECK(got.size() <= size && ok == (name != "=") && (ok || value == "="));
    if (!ok && in.fail()) break;  // the end of the stream
    got.emplace_back(name, value);
  }
  FUZZ_CHECK(got == Reference(text));
  return 0;
}
