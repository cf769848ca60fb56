// dnm: scans, reads and writes a DeviceNet network from the prompt through
// the master library's public interface.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Api.h"
#include "Commands.h"
#include "Explain.h"
#include "Interrupt.h"
#include "Json.h"

using namespace dnm::tool;

namespace {

// The options of the commands that run the master library: those that name the port (dnm run
// takes it from its scan list), then the others.
const char kPortHelp[] =
    "  --board N         board number (default 0)\n"
    "  --port N          port of the board, 0..3 (default 0)\n"
    "  --mac N           the master's own MAC ID, 0..63 (default 0)\n"
    "  --baud RATE       125, 250 or 500 kbit/s (default 500)\n";
const char kLibraryHelp[] =
    "  --network FILE    the virtual card's network description (sets VELKCAN_NETWORK)\n"
    "  --trace           the library's trace on stderr (sets HYPERTRACE_FILE=stderr)\n"
    "  --timeout SECONDS how long to wait for connections (default 5)\n";

const char kOutputHelp[] =
    "  --json            results, and failures, as one JSON document on stdout\n"
    "  --help            this help\n";

// The common options the command takes; all of them for the overview (command nullptr).
std::string CommonHelp(const Command* command) {
  const bool master = command == nullptr || UsesMasterLibrary(*command);
  const bool ports = master && (command == nullptr || command->run != RunRun);
  return std::string("common options:\n") + (ports ? kPortHelp : "") +
         (master ? kLibraryHelp : "") + kOutputHelp;
}

// "dnm get MAC CLASS INSTANCE ATTRIBUTE [--as ...]"
std::string UsageLine(const Command& command) {
  std::string line = std::string("dnm ") + command.name;
  return *command.usage != '\0' ? line + " " + command.usage : line;
}

const char kOverviewUsage[] = "dnm COMMAND [ARGUMENTS] [OPTIONS]";

// The commands and the common options.
std::string Overview() {
  std::string text = "commands:\n";
  for (const Command& command : AllCommands()) text += "  " + UsageLine(command) + "\n";
  return text + "  dnm --version\n\n" + CommonHelp(nullptr) +
         "(simulate and monitor take --json and --help only)\n\n'dnm COMMAND --help' tells more.\n";
}

void PrintHelp(FILE* out, const std::string& usage, const std::string& help, bool json) {
  if (json) {
    std::fprintf(out, "{\"usage\":%s,\"help\":%s}\n", JsonString(usage).c_str(),
                 JsonString(help).c_str());
  } else {
    std::fprintf(out, "usage: %s\n\n%s", usage.c_str(), help.c_str());
  }
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

// With --json, the one JSON document of a failed run, beside the message on stderr.
void PrintJsonError(const CallFailure* failure, const std::string& text, int status,
                    const std::string& usage = "") {
  std::printf("{\"error\":%s}\n", ErrorJson(failure, text, status, usage).c_str());
  std::fflush(stdout);
}

// The message on stderr, and with --json the error document on stdout; returns the status.
int Fail(bool json, const std::string& who, const std::string& text, int status,
         const CallFailure* failure = nullptr, const std::string& usage = "") {
  std::fprintf(stderr, "%s: %s\n", who.c_str(), text.c_str());
  if (!usage.empty()) std::fprintf(stderr, "usage: %s\n", usage.c_str());
  if (json) PrintJsonError(failure, text, status, usage);
  return status;
}

int PrintVersion(bool json) {
  std::string error;
  const bool loaded = LoadApi(error);
  char library[32];
  std::snprintf(library, sizeof library, "%.1f",
                loaded ? static_cast<double>(api().DNM_GetVersion()) : 0.0);
  if (json) {
    std::printf("{\"dnm\":\"" DNM_TOOL_VERSION "\",\"library\":%s,\"library_error\":%s}\n",
                loaded ? JsonString(library).c_str() : "null",
                loaded ? "null" : JsonString(error).c_str());
  } else if (loaded) {
    std::printf("dnm " DNM_TOOL_VERSION "\nmaster library %s\n", library);
  } else {
    std::printf("dnm " DNM_TOOL_VERSION "\nmaster library not found: %s\n", error.c_str());
  }
  return kExitOk;
}

// simulate and monitor run no master, which would pass its options over unsaid; run takes its
// ports from its scan list.
void RefuseMasterOptions(const Command& command, const std::vector<std::string>& args) {
  std::vector<const char*> refused = {"--board", "--port", "--mac", "--baud"};
  if (!UsesMasterLibrary(command)) {
    refused.insert(refused.end(), {"--network", "--trace", "--timeout"});
  } else if (command.run != RunRun) {
    return;
  }
  for (const char* option : refused) {
    if (std::find(args.begin(), args.end(), option) != args.end()) {
      throw UsageError(std::string("option ") + option + " does not apply to dnm " + command.name +
                       (command.run == RunRun ? ": the scan list names the ports" : ""));
    }
  }
}

// run --print-map reads its file only.
bool LoadsMasterLibrary(const Command& command, const CommandLine& line) {
  return UsesMasterLibrary(command) && !(command.run == RunRun && line.Has("--print-map"));
}

int RunLoaded(const Command& command, const CommandLine& line) {
  PrepareEnvironment(line.common);
  if (!LoadsMasterLibrary(command, line)) return command.run(line);
  std::string error;
  if (!LoadApi(error)) {
    return Fail(line.common.json, "dnm", "cannot load the master library: " + error, kExitFailed);
  }
  // The card reported each line it left out; a run on another network than the one
  // written would mislead.
  CheckRefusedLines(RefusedNetworkLines());
  // A command does not quietly host a shared segment whose host it means to reach.
  if (const std::string unhosted = UnhostedSharedSegment(); !unhosted.empty()) {
    const char* network = std::getenv("VELKCAN_NETWORK");
    return Fail(line.common.json, "dnm",
                "no simulator hosts " + unhosted + "; start one with: dnm simulate " +
                    (network != nullptr ? network : "FILE"),
                kExitFailed);
  }
  return command.run(line);
}

int Run(const Command& command, const std::vector<std::string>& args, bool json) {
  const std::string who = std::string("dnm ") + command.name;
  // A service manager may signal dnm run while the master library loads: SIGHUP's and SIGTERM's
  // defaults would end it unannounced.
  if (command.run == RunRun) {
    CatchReloads();
    CatchInterrupts();
  }
  try {
    const CommandLine line = ParseCommandLine(args, command.options);
    RefuseMasterOptions(command, args);
    if (line.common.help) {
      PrintHelp(stdout, UsageLine(command),
                std::string(command.help) + "\n" + CommonHelp(&command), json);
      return kExitOk;
    }
    return RunLoaded(command, line);
  } catch (const UsageError& e) {
    return Fail(json, who, e.what(), kExitUsage, nullptr, UsageLine(command));
  } catch (const CallError& e) {
    return Fail(json, who, DescribeFailure(e.failure()), kExitFailed, &e.failure());
  } catch (const std::exception& e) {
    return Fail(json, who, e.what(), kExitFailed);
  }
}

// A descriptor 0, 1 or 2 left closed by whoever started dnm would be the next file or socket
// opened, and stdout's text would go into the bus protocol or a capture: /dev/null takes it.
void OpenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open gives the lowest free descriptor: this one, as those below it are open.
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", O_RDWR);
  }
}

}  // namespace

int main(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  const auto refuse = [&](const std::string& text) {
    std::fprintf(stderr, "dnm: %s\n", text.c_str());
    PrintHelp(stderr, kOverviewUsage, Overview(), false);
    if (json) PrintJsonError(nullptr, text, kExitUsage, kOverviewUsage);
    return kExitUsage;
  };
  if (args.empty() || args[0] == "--json") return refuse("no command given");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(stdout, kOverviewUsage, Overview(), json);
    return kExitOk;
  }
  if (args[0] == "--version") return PrintVersion(json);
  const Command* command = FindCommand(args[0]);
  if (command == nullptr) return refuse("unknown command '" + args[0] + "'");
  return Run(*command, args, json);
}
