// dnm simulate: runs a network description's simulated segments and nodes as one standing
// process, so that other processes attach to its shared segments and its slaves keep their
// state from one command to the next.
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Api.h"
#include "Commands.h"
#include "Json.h"

namespace dnm::tool {
namespace {

using DescribeCard = int32_t (*)(char* text, int32_t size);

std::string Describe(DescribeCard describe) {
  std::string text(4096, '\0');
  const int32_t length = describe(text.data(), static_cast<int32_t>(text.size()));
  if (length >= static_cast<int32_t>(text.size())) {
    text.resize(static_cast<size_t>(length) + 1);
    describe(text.data(), static_cast<int32_t>(text.size()));
  }
  text.resize(static_cast<size_t>(std::max(length, 0)));
  return text;
}

void PrintHosted(const std::string& network, const std::string& described, bool json) {
  if (!json) {
    std::printf("dnm simulate: %s, process %d\n%sCtrl-C ends it.\n", network.c_str(),
                static_cast<int>(getpid()), described.c_str());
  } else {
    std::string segments;
    std::istringstream lines(described);
    for (std::string line; std::getline(lines, line);) {
      segments += (segments.empty() ? "" : ",") + JsonString(line);
    }
    std::printf("{\"network\":%s,\"pid\":%d,\"segments\":[%s]}\n", JsonString(network).c_str(),
                static_cast<int>(getpid()), segments.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int RunSimulate(const CommandLine& line) {
  ExpectWords(line, 1);
  const std::string& network = line.Word(0, "network file");
  char path[PATH_MAX];
  if (!std::ifstream(network).good() || realpath(network.c_str(), path) == nullptr) {
    throw UsageError("cannot read network file " + network);
  }
  setenv("VELKCAN_NETWORK", path, 1);
  // Blocked before the card starts its threads, which inherit the mask: the signals wait for
  // sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::string error;
  void* card = LoadCardLibrary(error);
  auto describe = card ? reinterpret_cast<DescribeCard>(dlsym(card, "VCAN_DescribeCard")) : nullptr;
  if (describe == nullptr) {
    std::fprintf(stderr, "dnm simulate: cannot load the virtual card: %s\n", error.c_str());
    return kExitFailed;
  }
  const std::string described = Describe(describe);
  if (described.empty()) {
    std::fprintf(stderr,
                 "dnm simulate: %s holds no simulated node and no shared segment; nothing to run\n",
                 path);
    return kExitFailed;
  }
  PrintHosted(path, described, line.common.json);
  int signal = 0;
  sigwait(&stop, &signal);
  return kExitOk;
}

}  // namespace dnm::tool
