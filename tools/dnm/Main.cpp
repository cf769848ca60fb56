// dnm: scans, reads and writes a DeviceNet network from the prompt through
// the master library's public interface.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Api.h"
#include "Commands.h"
#include "Explain.h"
#include "Json.h"

using namespace dnm::tool;

namespace {

const char kCommonHelp[] =
    "common options:\n"
    "  --board N         board number (default 0)\n"
    "  --port N          port of the board, 0..3 (default 0)\n"
    "  --mac N           the master's own MAC ID, 0..63 (default 0)\n"
    "  --baud RATE       125, 250 or 500 kbit/s (default 500)\n"
    "  --network FILE    the virtual card's network description (sets VELKCAN_NETWORK)\n"
    "  --trace           the library's trace on stderr (sets HYPERTRACE_FILE=stderr)\n"
    "  --json            one JSON object per line on stdout\n"
    "  --timeout SECONDS how long to wait for connections (default 5)\n"
    "  --help            this help\n";

// The common options that apply to a command without the master library.
const char kSimulateCommonHelp[] =
    "common options:\n"
    "  --json            JSON documents on stdout\n"
    "  --help            this help\n";

// "dnm get MAC CLASS INSTANCE ATTRIBUTE [--as ...]"
std::string UsageLine(const Command& command) {
  std::string line = std::string("dnm ") + command.name;
  return *command.usage != '\0' ? line + " " + command.usage : line;
}

void PrintOverview(FILE* out) {
  std::fprintf(out, "usage: dnm COMMAND [ARGUMENTS] [OPTIONS]\n\ncommands:\n");
  for (const Command& command : AllCommands()) {
    std::fprintf(out, "  %s\n", UsageLine(command).c_str());
  }
  std::fprintf(out, "  dnm --version\n\n%s\n'dnm COMMAND --help' tells more.\n", kCommonHelp);
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : AllCommands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// Points the card and the trace library at what the options name; both
// read their variables when the master library starts up.
void PrepareEnvironment(const CommonOptions& common) {
  if (!common.network.empty()) {
    char path[PATH_MAX];
    if (!std::ifstream(common.network).good() ||
        realpath(common.network.c_str(), path) == nullptr) {
      throw UsageError("cannot read network file " + common.network);
    }
    setenv("VELKCAN_NETWORK", path, 1);
  }
  if (common.trace) setenv("HYPERTRACE_FILE", "stderr", 1);
}

// A failure as the JSON object --json prints on stdout beside the message.
void PrintJsonError(const CallFailure& failure, const std::string& text) {
  std::printf("{\"error\":{\"export\":%s,\"code\":%u,\"name\":%s,\"text\":%s}}\n",
              JsonString(failure.export_name).c_str(), unsigned{failure.code},
              JsonString(api().DNM_GetErrorText(failure.code)).c_str(), JsonString(text).c_str());
}

int PrintVersion() {
  std::string error;
  std::printf("dnm " DNM_TOOL_VERSION "\n");
  if (LoadApi(error)) {
    std::printf("master library %.1f\n", static_cast<double>(api().DNM_GetVersion()));
  } else {
    std::printf("master library not found: %s\n", error.c_str());
  }
  return kExitOk;
}

int Run(const Command& command, const std::vector<std::string>& args) {
  bool json = false;
  try {
    const CommandLine line = ParseCommandLine(args, command.options);
    json = line.common.json;
    if (line.common.help) {
      std::printf("usage: %s\n\n%s\n%s", UsageLine(command).c_str(), command.help,
                  command.run == RunSimulate ? kSimulateCommonHelp : kCommonHelp);
      return kExitOk;
    }
    PrepareEnvironment(line.common);
    if (!UsesMasterLibrary(command)) return command.run(line);
    std::string error;
    if (!LoadApi(error)) {
      std::fprintf(stderr, "dnm: cannot load the master library: %s\n", error.c_str());
      return kExitFailed;
    }
    CheckRefusedLines(RefusedNetworkLines());
    // A command does not quietly host a shared segment whose host it means to reach.
    if (const std::string unhosted = UnhostedSharedSegment(); !unhosted.empty()) {
      std::fprintf(stderr, "dnm: no simulator hosts %s; start one with: dnm simulate %s\n",
                   unhosted.c_str(), std::getenv("VELKCAN_NETWORK"));
      return kExitFailed;
    }
    return command.run(line);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dnm %s: %s\nusage: %s\n", command.name, e.what(),
                 UsageLine(command).c_str());
    return kExitUsage;
  } catch (const CallError& e) {
    const std::string text = DescribeFailure(e.failure());
    if (json) PrintJsonError(e.failure(), text);
    std::fprintf(stderr, "dnm %s: %s\n", command.name, text.c_str());
    return kExitFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintOverview(stdout);
    return kExitOk;
  }
  if (args[0] == "--version") return PrintVersion();
  const Command* command = FindCommand(args[0]);
  if (command == nullptr) {
    std::fprintf(stderr, "dnm: unknown command '%s'\n", args[0].c_str());
    PrintOverview(stderr);
    return kExitUsage;
  }
  return Run(*command, args);
}
