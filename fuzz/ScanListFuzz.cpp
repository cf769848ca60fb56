// Any text read as a scan list file: every line is taken or refused with its place, and a list
// taken whole is written as text that reads back the same.
#include <string>

#include "ScanList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dnm::tool;
  const ParsedScanList parsed =
      ParseScanList(std::string(reinterpret_cast<const char*>(data), size), "fuzz");
  for (const ScanListError& error : parsed.errors) {
    if (error.line == 0 || error.column == 0 || error.message.empty()) __builtin_trap();
  }
  if (!parsed.errors.empty()) return 0;
  const std::string text = FormatScanList(parsed.list);
  const ParsedScanList again = ParseScanList(text, "again");
  if (!again.errors.empty() || FormatScanList(again.list) != text) __builtin_trap();
  return 0;
}
