#include "CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "ScanList.h"

namespace dnm::tool {
namespace {

const std::vector<OptionSpec> kCommonOptions = {
    {"--board", 1}, {"--port", 1}, {"--mac", 1},     {"--baud", 1}, {"--network", 1},
    {"--trace", 0}, {"--json", 0}, {"--timeout", 1}, {"--help", 0},
};

bool IsOption(const std::string& word) {
  return word.rfind("--", 0) == 0;
}

// An option given without the one it needs.
void RefuseWithoutNeeded(const CommandLine& line, const std::vector<OptionSpec>& own) {
  for (const OptionSpec& spec : own) {
    if (spec.needs == nullptr || !line.Has(spec.name)) continue;
    const std::string needs = spec.needs;
    if (!line.Has(needs.substr(0, needs.find(' '))))
      throw UsageError(std::string(spec.name) + " needs " + needs);
  }
}

const OptionSpec* Find(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& spec : specs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

uint8_t BaudCode(const std::string& text) {
  const auto code = BaudCodeOf(ParseNumber(text, 0, 1000, "baud rate"));
  if (!code) throw UsageError("baud rate " + text + " is not 125, 250 or 500");
  return *code;
}

void SetCommon(CommonOptions& common, const std::string& name, const std::vector<std::string>& v) {
  if (name == "--board") common.board = static_cast<uint8_t>(ParseNumber(v[0], 0, 7, "board"));
  if (name == "--port") common.port = static_cast<uint8_t>(ParseNumber(v[0], 0, 3, "port"));
  if (name == "--mac") common.mac = static_cast<uint8_t>(ParseNumber(v[0], 0, 63, "MAC ID"));
  if (name == "--baud") common.baud_code = BaudCode(v[0]);
  if (name == "--network") common.network = v[0];
  if (name == "--trace") common.trace = true;
  if (name == "--json") common.json = true;
  if (name == "--timeout") common.timeout_s = ParseSeconds(v[0], "timeout");
  if (name == "--help") common.help = true;
}

}  // namespace

const std::string& CommandLine::Word(size_t index, const char* what) const {
  if (index >= words.size()) throw UsageError(std::string("missing ") + what);
  return words[index];
}

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<OptionSpec>& own) {
  CommandLine line;
  line.command = args.at(0);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!IsOption(arg)) {
      line.words.push_back(arg);
      continue;
    }
    const OptionSpec* common = Find(kCommonOptions, arg);
    const OptionSpec* spec = common != nullptr ? common : Find(own, arg);
    if (spec == nullptr) throw UsageError("unknown option " + arg);
    const auto first = args.begin() + static_cast<long>(i) + 1;
    const bool enough = i + static_cast<size_t>(spec->values) < args.size() &&
                        std::none_of(first, first + spec->values, IsOption);
    if (!enough) {
      throw UsageError("option " + arg + " needs " +
                       (spec->values == 1 ? "a value" : std::to_string(spec->values) + " values"));
    }
    const std::vector<std::string> values(first, first + spec->values);
    i += static_cast<size_t>(spec->values);
    if (common != nullptr) {
      SetCommon(line.common, arg, values);
    } else if (!line.options.emplace(arg, values).second) {
      throw UsageError("option " + arg + " is given twice");
    }
  }
  RefuseWithoutNeeded(line, own);
  return line;
}

uint32_t ParseNumber(const std::string& text, uint32_t min, uint32_t max, const std::string& what) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = text.c_str() + (hex ? 2 : 0);
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
  const bool whole = !text.empty() && *digits != '\0' && *digits != '-' && *digits != '+' &&
                     *end == '\0' && errno == 0;
  if (!whole) throw UsageError(what + " '" + text + "' is not a number");
  if (value < min || value > max) {
    throw UsageError(what + " " + text + " is out of range (" + std::to_string(min) + ".." +
                     std::to_string(max) + ")");
  }
  return static_cast<uint32_t>(value);
}

double ParseSeconds(const std::string& text, const std::string& what) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 3600) {
    throw UsageError(what + " '" + text + "' is not a number of seconds (0..3600)");
  }
  return value;
}

ListenAddress ParseListenAddress(const std::string& text, const std::string& option) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos)
    throw UsageError(option + " takes ADDRESS:PORT or :PORT, not '" + text + "'");
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const uint32_t port = ParseNumber(text.substr(colon + 1), 1, 65535, option + " port");
  return {host.empty() ? "127.0.0.1" : host, std::to_string(port)};
}

}  // namespace dnm::tool
