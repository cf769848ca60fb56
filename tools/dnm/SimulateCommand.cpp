// dnm simulate: runs a network description's simulated segments and nodes as one standing
// process, so that other processes attach to its shared segments and its slaves keep their
// state from one command to the next. Each running simulator keeps a record file in the user's
// private directory, locked while it runs, for `dnm simulate --list`.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Api.h"
#include "Commands.h"
#include "Json.h"
#include "SharedSocket.h"
#include "Values.h"

namespace dnm::tool {
namespace {

using DescribeCard = int32_t (*)(char* text, int32_t size);
using CardQuery = int32_t (*)();

// What a running simulator hosts: VCAN_DescribeCard's lines, "segment NAME (HOW): NODES".
struct Simulator {
  long pid = 0;
  std::string network;
  std::vector<std::string> segments;
};

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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string list;
  for (const std::string& item : items) list += (list.empty() ? "" : ",") + item;
  return "[" + list + "]";
}

// {"name":..,"shared":..,"hosted":..,"socketcan":..,"nodes":[..]} of one described line.
std::string SegmentJson(const std::string& line) {
  const size_t open = line.find(" (");
  const size_t close = line.find("): ", open);
  if (line.rfind("segment ", 0) != 0 || open == std::string::npos || close == std::string::npos) {
    return "{\"text\":" + JsonString(line) + "}";
  }
  std::string shared = "null";
  std::string host = "null";
  std::string socketcan = "null";
  for (const std::string& reach : Split(line.substr(open + 2, close - open - 2), "; ")) {
    if (reach.rfind("shared=", 0) == 0) {
      const size_t comma = reach.rfind(", ");
      shared = JsonString(reach.substr(7, comma - 7));
      host = JsonString(comma == std::string::npos ? "" : reach.substr(comma + 2));
    } else if (reach.rfind("socketcan=", 0) == 0) {
      socketcan = JsonString(reach.substr(10));
    }
  }
  std::vector<std::string> nodes;
  const std::string named = line.substr(close + 3);
  if (named != "no simulated nodes") {
    for (const std::string& node : Split(named, ", ")) nodes.push_back(JsonString(node));
  }
  return "{\"name\":" + JsonString(line.substr(8, open - 8)) + ",\"shared\":" + shared +
         ",\"host\":" + host + ",\"socketcan\":" + socketcan + ",\"nodes\":" + JsonList(nodes) +
         "}";
}

std::string SimulatorJson(const Simulator& simulator) {
  std::vector<std::string> segments;
  for (const std::string& line : simulator.segments) segments.push_back(SegmentJson(line));
  return "{\"network\":" + JsonString(simulator.network) +
         ",\"pid\":" + std::to_string(simulator.pid) + ",\"segments\":" + JsonList(segments) + "}";
}

void PrintHosted(const Simulator& simulator, bool json) {
  if (json) {
    std::printf("%s\n", SimulatorJson(simulator).c_str());
  } else {
    std::printf("dnm simulate: %s, process %ld\n", simulator.network.c_str(), simulator.pid);
    for (const std::string& line : simulator.segments) std::printf("%s\n", line.c_str());
    std::printf("Ctrl-C ends it.\n");
  }
  std::fflush(stdout);
}

// ---- Record files ----

constexpr const char* kRecordPrefix = "simulator-";
constexpr off_t kRecordLimit = 1 << 20;

std::string RecordText(const Simulator& simulator) {
  std::string text =
      "pid " + std::to_string(simulator.pid) + "\nnetwork " + simulator.network + "\n";
  for (const std::string& line : simulator.segments) text += line + "\n";
  return text;
}

std::optional<Simulator> ParseRecord(const std::string& text) {
  Simulator simulator;
  for (const std::string& line : Lines(text)) {
    if (line.rfind("pid ", 0) == 0) {
      simulator.pid = std::strtol(line.c_str() + 4, nullptr, 10);
    } else if (line.rfind("network ", 0) == 0) {
      simulator.network = line.substr(8);
    } else if (line.rfind("segment ", 0) == 0) {
      simulator.segments.push_back(line);
    }
  }
  if (simulator.pid <= 0 || simulator.network.empty()) return std::nullopt;
  return simulator;
}

// A record's lines are the simulator's own words, where "hosted here" is that process: to any
// other the host is named.
void NameTheHost(Simulator& simulator) {
  const std::string here = ", hosted here";
  const std::string named = ", hosted by process " + std::to_string(simulator.pid);
  for (std::string& line : simulator.segments) {
    for (size_t at = line.find(here); at != std::string::npos; at = line.find(here, at))
      line.replace(at, here.size(), named);
  }
}

// The record of this simulator, locked for as long as it runs: written under a name --list
// skips and renamed once locked, so that --list never takes it for one left by an ended
// simulator.
class RunningRecord {
 public:
  explicit RunningRecord(const Simulator& simulator) {
    try {
      const std::string dir = vcan::wire::PrivateDirectory();
      const std::string name = kRecordPrefix + std::to_string(simulator.pid);
      const std::string draft = dir + "/." + name;
      path_ = dir + "/" + name;
      fd_ = open(draft.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
      const std::string text = RecordText(simulator);
      if (fd_ < 0 || flock(fd_, LOCK_EX) != 0 ||
          write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
          rename(draft.c_str(), path_.c_str()) != 0) {
        std::fprintf(stderr, "dnm simulate: --list will not show it: cannot write %s: %s\n",
                     draft.c_str(), std::strerror(errno));
        path_.clear();
      }
    } catch (const std::runtime_error& error) {
      std::fprintf(stderr, "dnm simulate: --list will not show it: %s\n", error.what());
    }
  }
  ~RunningRecord() {
    if (!path_.empty()) unlink(path_.c_str());
    if (fd_ >= 0) close(fd_);
  }
  RunningRecord(const RunningRecord&) = delete;
  RunningRecord& operator=(const RunningRecord&) = delete;

 private:
  std::string path_;
  int fd_ = -1;
};

// The record at path while its simulator runs (it holds the lock); a record nobody holds is
// left by a simulator that ended and is removed.
std::optional<Simulator> ReadRunning(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<Simulator> running;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
      info.st_size <= kRecordLimit) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
      unlink(path.c_str());
    } else {
      std::string text(static_cast<size_t>(info.st_size), '\0');
      const ssize_t got = pread(fd, text.data(), text.size(), 0);
      text.resize(static_cast<size_t>(std::max<ssize_t>(got, 0)));
      running = ParseRecord(text);
      if (running) NameTheHost(*running);
    }
  }
  close(fd);
  return running;
}

std::vector<Simulator> RunningSimulators(const std::string& dir) {
  std::vector<Simulator> found;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return found;
  while (const dirent* entry = readdir(listing)) {
    if (std::strncmp(entry->d_name, kRecordPrefix, std::strlen(kRecordPrefix)) != 0) continue;
    if (auto simulator = ReadRunning(dir + "/" + entry->d_name)) found.push_back(*simulator);
  }
  closedir(listing);
  std::sort(found.begin(), found.end(),
            [](const Simulator& a, const Simulator& b) { return a.pid < b.pid; });
  return found;
}

int ListSimulators(bool json) {
  std::string dir;
  try {
    dir = vcan::wire::PrivateDirectory();
  } catch (const std::runtime_error& error) {
    throw UsageError(error.what());
  }
  const std::vector<Simulator> running = RunningSimulators(dir);
  if (json) {
    std::vector<std::string> items;
    for (const Simulator& simulator : running) items.push_back(SimulatorJson(simulator));
    std::printf("{\"simulators\":%s}\n", JsonList(items).c_str());
    return kExitOk;
  }
  if (running.empty()) std::printf("no dnm simulate runs for this user\n");
  for (const Simulator& simulator : running) {
    std::printf("process %ld: %s\n", simulator.pid, simulator.network.c_str());
    for (const std::string& line : simulator.segments) std::printf("  %s\n", line.c_str());
  }
  return kExitOk;
}

template <typename Entry>
Entry CardEntry(void* card, const char* name) {
  return card != nullptr ? reinterpret_cast<Entry>(dlsym(card, name)) : nullptr;
}

}  // namespace

int RunSimulate(const CommandLine& line) {
  if (line.Has("--list")) {
    ExpectWords(line, 0);
    return ListSimulators(line.common.json);
  }
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
  const auto host = CardEntry<CardQuery>(card, "VCAN_HostSharedSegments");
  const auto describe = CardEntry<DescribeCard>(card, "VCAN_DescribeCard");
  const auto refused = CardEntry<CardQuery>(card, "VCAN_RefusedLines");
  if (host == nullptr || describe == nullptr || refused == nullptr) {
    std::fprintf(stderr, "dnm simulate: cannot load the virtual card: %s\n",
                 card == nullptr ? error.c_str() : "it lacks the simulator's entries");
    return kExitFailed;
  }
  // Before anything builds the card: this process hosts every shared segment it names.
  host();
  const Simulator simulator{static_cast<long>(getpid()), path, Lines(Describe(describe))};
  CheckRefusedLines(refused());
  if (simulator.segments.empty()) {
    std::fprintf(stderr,
                 "dnm simulate: %s holds no simulated node and no shared segment; nothing to run\n",
                 path);
    return kExitFailed;
  }
  const RunningRecord record(simulator);
  PrintHosted(simulator, line.common.json);
  int signal = 0;
  sigwait(&stop, &signal);
  return kExitOk;
}

}  // namespace dnm::tool
