#include "RunRig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "vcan_test.h"

extern char** environ;

namespace bench {
namespace {

constexpr uint16_t kPollResponseBase = 0x3C0;

// User and system time of a process so far, from /proc/PID/stat.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool NameStartsWith(const std::filesystem::path& task, const std::string& prefix) {
  std::ifstream comm(task / "comm");
  std::string name;
  std::getline(comm, name);
  return name.rfind(prefix, 0) == 0;
}

// Time on a CPU so far of the process's threads alive now whose names start (or, with `named`
// false, do not start) with prefix, from /proc/PID/task/TID/schedstat.
double ThreadsCpuSeconds(pid_t pid, const std::string& prefix, bool named) {
  std::error_code error;
  uint64_t ns = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    if (NameStartsWith(task.path(), prefix) != named) continue;
    std::ifstream schedstat(task.path() / "schedstat");
    uint64_t on_cpu = 0;
    if (schedstat >> on_cpu) ns += on_cpu;
  }
  return static_cast<double>(ns) / 1e9;
}

Files WriteNetwork(const std::string& name) {
  Files files{std::filesystem::temp_directory_path() / (name + "_" + std::to_string(getpid())),
              {}};
  std::filesystem::create_directories(files.dir);
  files.network = (files.dir / "network.txt").string();
  std::ofstream network(files.network);
  network << "segment bus shared=" << (files.dir / "bus.sock").string()
          << "\nport 0/1 segment=bus\n";
  for (int mac = 1; mac <= kDevices; ++mac) {
    network << "slave segment=bus mac=" << mac << " io=poll produced=2 consumed=0 inputs=counter\n";
  }
  return files;
}

}  // namespace

Child::Child(const std::vector<std::string>& args, const std::string& out) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ != 0) return;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(127);
  execve(argv[0], argv.data(), environ);
  _exit(127);
}

Child::~Child() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

bool Child::Running() const {
  return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

// The virtual card's threads (the simulated bus and slaves, or the link to a shared segment)
// stand for a CAN adapter and the kernel; dnm run's own threads are all the others.
CpuSeconds CpuSeconds::Of(pid_t pid, const std::string& server_prefix) {
  return {ProcessCpuSeconds(pid), ThreadsCpuSeconds(pid, "vcan-", false),
          ThreadsCpuSeconds(pid, server_prefix, true)};
}

Rig::Rig(const std::string& name)
    : files(WriteNetwork(name)),
      simulator_(std::make_unique<Child>(
          std::vector<std::string>{DNM_BENCH_TOOL, "simulate", files.network},
          (files.dir / "simulate.log").string())) {
  // This process attaches to the simulator's segment, once it listens, to hear the responses.
  setenv("VELKCAN_NETWORK", files.network.c_str(), 1);
  for (int tries = 0; tries < 100 && node <= 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    char unhosted[256];
    if (VCAN_UnhostedSegment(unhosted, sizeof unhosted) == 0) node = VCAN_AttachNode(0, 1, 500);
  }
  if (node <= 0) {
    std::printf("no simulator hosts the segment (see %s)\n", files.dir.c_str());
    node = 0;
  }
}

Rig::~Rig() {
  simulator_.reset();
  std::filesystem::remove_all(files.dir);
}

std::string WriteScanList(const Files& files, int period_ms) {
  const std::string path =
      (files.dir / ("scanlist-" + std::to_string(period_ms) + ".txt")).string();
  std::ofstream list(path);
  list << "scanner poll_period=" << period_ms << "\nport 0/0 mac=0 baud=500\n";
  for (int mac = 1; mac <= kDevices; ++mac) list << "  device " << mac << "\n    poll in=2 out=0\n";
  return path;
}

BusWatch::BusWatch(int32_t node) : thread_(&BusWatch::Watch, this, node) {}

std::vector<Sighting> BusWatch::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return std::move(heard_);
}

void BusWatch::Watch(int32_t node) {
  CANMsg frame{};
  while (!stop_) {
    if (VCAN_NodeReceive(node, &frame, 50) != 0) continue;
    const int mac = static_cast<int>(frame.id) - kPollResponseBase;
    if (mac >= 1 && mac <= kDevices && frame.len == 2)
      heard_.push_back({mac, frame.data[0], StampUs(frame)});
  }
}

std::vector<uint64_t> BusTimes(const std::vector<Sighting>& heard,
                               const std::vector<Sighting>& seen) {
  std::map<std::pair<int, uint8_t>, std::vector<uint64_t>> when;
  for (const Sighting& s : heard) when[{s.mac, s.counter}].push_back(s.at_us);
  std::vector<uint64_t> times;
  for (const Sighting& s : seen) {
    const auto found = when.find({s.mac, s.counter});
    const auto after = found == when.end()
                           ? std::vector<uint64_t>::const_iterator{}
                           : std::upper_bound(found->second.begin(), found->second.end(), s.at_us);
    times.push_back(found == when.end() || after == found->second.begin() ? 0 : *(after - 1));
  }
  return times;
}

std::vector<double> LatenciesMs(const std::vector<Sighting>& heard,
                                const std::vector<Sighting>& seen) {
  const std::vector<uint64_t> times = BusTimes(heard, seen);
  std::vector<double> latencies;
  for (size_t i = 0; i < seen.size(); ++i) {
    if (times[i] != 0) latencies.push_back(static_cast<double>(seen[i].at_us - times[i]) / 1000.0);
  }
  return latencies;
}

int FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

}  // namespace bench
