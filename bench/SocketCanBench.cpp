// The receive path of a port on a SocketCAN interface, served by a socketpair in place of a
// kernel CAN socket: a peer sends 8-byte frames at the rate a fully loaded 500 kbit/s bus
// carries them, then as fast as it can, while a consumer takes them as the master's receive
// threads do. Prints frames per second, frames lost and CPU per frame of everything but the
// peer. build/bin/bench_socketcan
#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "BitTiming.h"
#include "SocketCanPort.h"
#include "ThreadCpu.h"

namespace {

using namespace std::chrono;

std::atomic<int> peer_end{-1};

const vcan::SocketCanSystem kSocketPair{
    [](const std::string&) {
      int ends[2];
      if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return -errno;
      peer_end.store(ends[1]);
      return ends[0];
    },
    [](int, uint32_t, uint32_t) { return 0; },
    [](const std::string&) { return uint32_t{0}; },
    [](const std::string&, uint32_t) { return 0; },
    [](int fd, vcan::ReceivedFrame& received) {
      return vcan::KernelSocketCan().receive(fd, received);
    },
};

struct Result {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t lost = 0;
  double seconds = 0;      // from the first frame sent to the last one taken
  double send_seconds = 0;
  bench::ThreadTimes others;
};

// Sends for the given time, at frames_per_second (0: as fast as the socket takes them).
Result Run(vcan::SocketCanPort& port, double frames_per_second, seconds length) {
  std::atomic<bool> done{false};
  Result result;
  std::thread consumer([&] {
    CANMsg record{};
    while (!done.load() || port.PendingCount() > 0) {
      if (port.WaitForFrames(milliseconds(100)) == 0) continue;
      for (int32_t code; (code = port.Receive(record)) != CAN_ReceiveBufferEmpty;) {
        if (code == CAN_NoError) result.received++;
      }
    }
  });
  bench::ThreadRegistry peer;
  const auto before = bench::CpuSnapshot::Take();
  std::thread sender([&] {
    peer.AddCurrent();
    can_frame raw{};
    raw.can_id = 0x3C5;
    raw.can_dlc = 8;
    const auto start = steady_clock::now();
    for (auto now = start; now - start < length; now = steady_clock::now()) {
      if (frames_per_second > 0) {
        const auto due = start + duration_cast<nanoseconds>(duration<double>(result.sent / frames_per_second));
        if (due > now) std::this_thread::sleep_until(due);
      }
      if (send(peer_end.load(), &raw, sizeof raw, 0) == sizeof raw) result.sent++;
    }
  });
  sender.join();
  result.send_seconds = static_cast<double>(bench::MonotonicNs() - before.at_ns) / 1e9;
  std::this_thread::sleep_for(milliseconds(200));
  done.store(true);
  consumer.join();
  const auto after = bench::CpuSnapshot::Take();
  result.seconds = static_cast<double>(after.at_ns - before.at_ns) / 1e9;
  result.others = after.UsedByAllBut(before, peer.Ids());
  result.lost = result.sent - result.received;
  return result;
}

void Print(const char* what, const Result& r) {
  std::printf("%-24s %9.0f frames/s  %8llu lost  %6.2f us CPU/frame  %5.1f %% of a core\n", what,
              static_cast<double>(r.received) / r.send_seconds,
              static_cast<unsigned long long>(r.lost),
              static_cast<double>(r.others.cpu_ns) / 1e3 / static_cast<double>(r.received),
              100.0 * static_cast<double>(r.others.cpu_ns) / (r.seconds * 1e9));
}

}  // namespace

int main() {
  vcan::Frame full{};
  full.len = 8;
  const double bus_rate = 500'000.0 / vcan::FrameBits(full);
  vcan::SocketCanPort port("0/1", "bench0", kSocketPair, 4096);
  if (port.GoOnBus() != CAN_NoError) return 1;
  std::printf("SocketCAN port on a socketpair, 8-byte frames (%.0f frames/s fill a 500 kbit/s bus)\n",
              bus_rate);
  Print("500 kbit/s full load:", Run(port, bus_rate, seconds(5)));
  Print("as fast as possible:", Run(port, 0, seconds(2)));
  return 0;
}
