// The command line of dnm: a command, its words and its options.
//
//   dnm COMMAND [WORD...] [--option [VALUE...]]...
//
// Options may stand anywhere after the command. Every command takes the
// common options; each declares its own beside them.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace dnm::tool {

// Bad input on the command line; main prints it with the command's usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  const char* name;  // with the leading "--"
  int values;        // how many words follow it
  // The option it is given with only, and its value's name ("--http ADDRESS:PORT"); none when
  // nullptr.
  const char* needs = nullptr;
};

// The options every command takes.
struct CommonOptions {
  uint8_t board = 0;
  uint8_t port = 0;
  uint8_t mac = 0;        // the master's own MAC ID
  uint8_t baud_code = 0;  // 0 500k, 1 250k, 2 125k, as DNM_Online takes it
  std::string network;
  bool trace = false;
  bool json = false;
  double timeout_s = 5.0;
  bool help = false;
};

struct CommandLine {
  std::string command;
  std::vector<std::string> words;
  std::map<std::string, std::vector<std::string>> options;  // the command's own
  CommonOptions common;

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  const std::string& Word(size_t index, const char* what) const;
};

// Splits args (without the program name; args[0] is the command) by the
// common options and the command's own.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<OptionSpec>& own);

// A whole decimal or 0x-hexadecimal number from min to max, else UsageError
// naming what.
uint32_t ParseNumber(const std::string& text, uint32_t min, uint32_t max, const std::string& what);
double ParseSeconds(const std::string& text, const std::string& what);

// Where a server listens: "HOST:PORT", "[IPV6]:PORT" or ":PORT" (then 127.0.0.1); UsageError
// naming the option for anything else.
struct ListenAddress {
  std::string host;
  std::string port;
};
ListenAddress ParseListenAddress(const std::string& text, const std::string& option);

}  // namespace dnm::tool
