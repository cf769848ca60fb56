// Lines of any text read as network description lines, and the options of a `slave` line read
// as a simulated slave's settings: a line is taken or refused with a reason, never more.
#include <stdexcept>
#include <string>

#include "NetworkFile.h"
#include "SlaveOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const auto directive = vcan::ParseDirective(text, 1);
    if (!directive) return 0;
    dnsim::Options options(directive->options.begin(), directive->options.end());
    options.emplace("mac", "1");
    const dnsim::SlaveSettings settings = dnsim::ParseSlaveSettings(options);
    if (settings.mac > 63 || settings.identity.product.size() > dnsim::kMaxProductName) {
      __builtin_trap();
    }
  } catch (const vcan::LineError&) {
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
