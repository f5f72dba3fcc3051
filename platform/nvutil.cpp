#include "platform/nvutil.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

bool NVUtil::ReadFromStream(std::istream& in, std::string& name, std::string& value) {
  std::string line;
  for (;;) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) break;
  }
  const std::string::size_type eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string::size_type first = 0, last = eq;
  while (first < last && IsBlank(line[first])) ++first;
  while (last > first && IsBlank(line[last - 1])) --last;
  if (first == last) return false;
  name.assign(line, first, last - first);
  value.assign(line, eq + 1, std::string::npos);
  return true;
}
