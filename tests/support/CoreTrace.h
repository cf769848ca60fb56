// For unit tests linked with the library's objects: the trace library is
// linked directly, so its kept lines are read without dlopen.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "HyperTrace.h"

namespace dnm::test {

inline std::vector<std::string> KeptTraceLines() {
  std::vector<std::string> lines;
  const int count = HyperTraceTest_LineCount();
  for (int i = 0; i < count; ++i) {
    std::string line(static_cast<size_t>(HyperTraceTest_GetLine(i, nullptr, 0)) + 1, '\0');
    HyperTraceTest_GetLine(i, line.data(), static_cast<int>(line.size()));
    line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline bool KeptTraceHas(const std::string& fragment) {
  const auto lines = KeptTraceLines();
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(fragment) != std::string::npos;
  });
}

}  // namespace dnm::test
