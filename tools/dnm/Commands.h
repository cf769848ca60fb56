// The commands of dnm. Each runs on a parsed command line, prints its
// result on stdout and returns the exit status; failures throw UsageError
// or CallError, which main reports.
#pragma once

#include <vector>

#include "CommandLine.h"

namespace dnm::tool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a library call failed, or the network is not as asked
constexpr int kExitUsage = 2;   // bad command line or network file

struct Command {
  const char* name;
  const char* usage;  // the words after "dnm NAME"
  const char* help;   // what it does, and its own options
  std::vector<OptionSpec> options;
  int (*run)(const CommandLine& line);
};

const std::vector<Command>& AllCommands();

// False for the commands that run the virtual card or watch a bus without the master library
// (which builds the card as it loads, before they could name its network description).
bool UsesMasterLibrary(const Command& command);

int RunScan(const CommandLine& line);
int RunGet(const CommandLine& line);
int RunSet(const CommandLine& line);
int RunIo(const CommandLine& line);
int RunStatus(const CommandLine& line);
int RunFaulted(const CommandLine& line);
int RunSimulate(const CommandLine& line);
int RunMonitor(const CommandLine& line);
int RunRun(const CommandLine& line);

// UsageError when the command line holds more words than the command takes.
void ExpectWords(const CommandLine& line, size_t count);

}  // namespace dnm::tool
