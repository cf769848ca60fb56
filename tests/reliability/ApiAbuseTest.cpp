// Every export called at random from several threads, with random arguments (out-of-range
// boards, ports and MAC IDs, null pointers, odd sizes), while another thread closes and reopens
// the board, against a network of misbehaving slaves. Each call must return within its limit
// with a code the library names, and after the board is closed the library's threads must be
// gone and its memory back near where it started.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MasterLib.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

// The longest an export may take: its own bus waits (a fragmented attribute value at most 3 s a
// fragment, waiting its turn 3 s) plus a board close that waits for the calls before it.
constexpr auto kCallLimit = std::chrono::seconds(20);

size_t ThreadCount() {
  std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(tasks, std::filesystem::directory_iterator()));
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Arguments mostly valid, sometimes anything: the calls must reach the library's deeper paths
// as well as its checks.
class Args {
 public:
  explicit Args(unsigned seed) : rng_(seed) {}
  uint8_t Board() { return Often() ? 0 : Byte(); }
  uint8_t Port() { return Often() ? 0 : Byte() % 6; }
  uint8_t Mac() {
    static constexpr uint8_t kSlaves[] = {3, 4, 5, 6, 7, 20, 41};
    return Often() ? kSlaves[Below(std::size(kSlaves))] : Byte();
  }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }
  uint16_t Size() { return static_cast<uint16_t>(Often() ? Below(10) : Below(300)); }
  uint32_t Length() { return Often() ? Below(9) : static_cast<uint32_t>(rng_()); }
  bool Null() { return Below(12) == 0; }
  unsigned Below(size_t n) { return static_cast<unsigned>(rng_() % n); }

 private:
  bool Often() { return Below(10) < 8; }
  std::mt19937 rng_;
};

class Abuse {
 public:
  explicit Abuse(MasterLib& lib) : lib_(lib) { Register(); }

  void Run(std::chrono::seconds length, int threads) {
    const auto end = Clock::now() + length;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([this, end, t] { Work(end, 1000u + static_cast<unsigned>(t)); });
    Lifecycle(end);
    for (auto& worker : workers) worker.join();
  }

 private:
  using Call = std::function<bool(Args&)>;  // false: a result the library cannot give

  bool Named(uint16_t code) const {
    return std::strcmp(lib_.DNM_GetErrorText(code), "unknown") != 0;
  }

  // A counter (or the achieved poll period) is 0 where no device can be: the card has board 0
  // only, ports 0 to 3, MAC IDs up to 63. Elsewhere nothing it counts comes more than once a
  // millisecond, nor is a period longer than the run.
  template <typename Counter>
  bool Plausible(Counter counter, uint8_t board, uint8_t port, uint8_t mac) const {
    const uint32_t value = counter(board, port, mac);
    if (board != 0 || port > 3 || mac > 63) return value == 0;
    const auto ran = std::chrono::duration_cast<milliseconds>(Clock::now() - started_);
    return value <= static_cast<uint64_t>(ran.count()) + 1;
  }

  // Calls of one shape share a generator.
  void Register() {
    MasterLib& l = lib_;
    for (auto* f : {l.DNM_ActiveBoard, l.DNM_CloseBoard})
      Add("board", [this, f](Args& a) { return Named(f(a.Board())); });
    for (auto* f :
         {l.DNM_Offline, l.DNM_StartCommunicate, l.DNM_StopCommunicate, l.DNM_GetOwnership})
      Add("port", [this, f](Args& a) { return Named(f(a.Board(), a.Port())); });
    Add("DNM_CheckFaultNode", [this](Args& a) {
      const uint16_t code = lib_.DNM_CheckFaultNode(a.Board(), a.Port());
      return code <= 64 || Named(code);
    });
    for (auto* f : {l.DNM_CheckExplicitMsgConnectionStatus, l.DNM_CheckPollConnectionStatus,
                    l.DNM_CheckBitStrobeConnectionStatus, l.DNM_CheckCOSConnectionStatus,
                    l.DNM_CheckCyclicConnectionStatus, l.DNM_GetDeviceStatus, l.DNM_StartDevice,
                    l.DNM_StopDevice, l.DNM_RemoveDevice})
      Add("device", [this, f](Args& a) {
        const uint16_t code = f(a.Board(), a.Port(), a.Mac());
        return code == 255 || Named(code);
      });
    for (auto* f : {l.DNM_GetExplicitMsgNoResponse, l.DNM_GetExplicitMsgErrorResponse,
                    l.DNM_GetBitStrobeNoResponse, l.DNM_GetPollNoResponse, l.DNM_GetPollSendError,
                    l.DNM_GetPollPeriodAchieved, l.DNM_GetCOS_CyclicWithPollNoResponse,
                    l.DNM_GetCOS_CyclicWithoutPollACKNoResponse})
      Add("counter", [this, f](Args& a) { return Plausible(f, a.Board(), a.Port(), a.Mac()); });
    for (auto* f : {l.DNM_ReadPollInputData, l.DNM_ReadBitStrobe, l.DNM_ReadCOSInputData,
                    l.DNM_ReadCyclicInputData})
      Add("read", [this, f](Args& a) {
        std::array<uint8_t, 64> data{};
        uint32_t length = 0;
        return Named(f(a.Board(), a.Port(), a.Mac(), a.Null() ? nullptr : data.data(),
                       a.Null() ? nullptr : &length));
      });
    for (auto* f :
         {l.DNM_WritePollOutputData, l.DNM_WriteCOSOutputData, l.DNM_WriteCyclicOutputData})
      Add("write", [this, f](Args& a) {
        std::vector<uint8_t> data(a.Size(), 0x5A);
        const uint32_t length = static_cast<uint32_t>(data.size());
        return Named(f(a.Board(), a.Port(), a.Mac(), a.Null() ? nullptr : data.data(), length));
      });
    Add("DNM_ConfigExplicitMsg", [this](Args& a) {
      return Named(lib_.DNM_ConfigExplicitMsg(a.Board(), a.Port(), a.Mac(), a.Length()));
    });
    Add("DNM_ConfigPoll", [this](Args& a) {
      return Named(
          lib_.DNM_ConfigPoll(a.Board(), a.Port(), a.Mac(), a.Size(), a.Size(), a.Size(), 0));
    });
    Add("DNM_ConfigBitStrobe", [this](Args& a) {
      return Named(lib_.DNM_ConfigBitStrobe(a.Board(), a.Port(), a.Mac(), a.Size(), a.Size(), 0));
    });
    for (auto* f : {l.DNM_ConfigCOS, l.DNM_ConfigCyclic})
      Add("cos/cyclic config", [this, f](Args& a) {
        return Named(f(a.Board(), a.Port(), a.Mac(), a.Size(), a.Size(), a.Byte(), a.Size(), 0));
      });
    Add("DNM_AddDevice", [this](Args& a) {
      return Named(lib_.DNM_AddDevice(a.Board(), a.Port(), a.Mac(), a.Byte() % 2));
    });
    Add("DNM_Online", [this](Args& a) {
      return Named(lib_.DNM_Online(a.Board(), a.Port(), a.Byte() % 4, a.Byte() % 2 ? 0 : a.Mac()));
    });
    Add("DNM_ChangeMACID",
        [this](Args& a) { return Named(lib_.DNM_ChangeMACID(a.Board(), a.Port(), a.Mac())); });
    Add("DNM_ChangeBaudrate", [this](Args& a) {
      return Named(lib_.DNM_ChangeBaudrate(a.Board(), a.Port(), a.Byte() % 4));
    });
    Add("DNM_GetPortStatistics", [this](Args& a) {
      DNM_PortStatistics statistics{};
      return Named(
          lib_.DNM_GetPortStatistics(a.Board(), a.Port(), a.Null() ? nullptr : &statistics));
    });
    Add("DNM_GetAllDeviceMACID", [this](Args& a) {
      std::array<uint8_t, 64> list{};
      uint8_t count = 0;
      return Named(lib_.DNM_GetAllDeviceMACID(a.Board(), a.Port(), a.Null() ? nullptr : list.data(),
                                              a.Null() ? nullptr : &count));
    });
    Add("attribute get", [this](Args& a) {
      std::array<uint8_t, 255> data{};
      uint32_t length = 0;
      const uint8_t attribute = static_cast<uint8_t>(1 + a.Below(8));
      if (a.Below(2) == 0)
        return Named(lib_.DNM_GetAttribute(a.Board(), a.Port(), a.Mac(), 1, 1, attribute,
                                           a.Null() ? nullptr : data.data(), &length));
      return Named(lib_.DNM_GetAttributeEx(a.Board(), a.Port(), a.Mac(), 1, 1, attribute,
                                           data.data(), a.Below(300),
                                           a.Null() ? nullptr : &length));
    });
    Add("DNM_SetAttribute", [this](Args& a) {
      std::vector<uint8_t> value(a.Size(), 0x11);
      return Named(lib_.DNM_SetAttribute(a.Board(), a.Port(), a.Mac(), 0x64, 1, a.Byte(),
                                         a.Null() ? nullptr : value.data(),
                                         static_cast<uint32_t>(value.size())));
    });
    Add("DNM_GetLastErrorResponse", [this](Args& a) {
      uint8_t general = 0, additional = 0;
      return Named(lib_.DNM_GetLastErrorResponse(a.Board(), a.Port(), a.Mac(),
                                                 a.Null() ? nullptr : &general, &additional));
    });
    Add("DNM_GetSetupFailure", [this](Args& a) {
      DNM_SetupFailure failure{};
      return Named(lib_.DNM_GetSetupFailure(a.Board(), a.Port(), a.Mac(), a.Byte(),
                                            a.Null() ? nullptr : &failure));
    });
    Add("faulted nodes", [this](Args& a) {
      std::array<uint16_t, 64> vendors{};
      std::array<uint32_t, 64> serials{};
      uint8_t count = 0;
      const uint32_t capacity = a.Below(65);
      return Named(lib_.DNM_GetAllFaultNodeEx(a.Board(), a.Port(), vendors.data(),
                                              a.Null() ? nullptr : serials.data(), capacity,
                                              &count));
    });
    Add("DNM_ChangeFaultMACID", [this](Args& a) {
      return Named(lib_.DNM_ChangeFaultMACID(a.Board(), a.Port(), 901, 200020, a.Mac()));
    });
    Add("library", [this](Args& a) {
      lib_.DNM_SetPollFrequency(static_cast<uint16_t>(a.Below(3) * 20));
      lib_.DNM_SetBitStrobeFrequency(static_cast<uint16_t>(a.Below(3) * 5));
      return lib_.DNM_GetVersion() > 0 && lib_.DNM_TotalBoard() == 1 &&
             lib_.DNM_GetErrorText(static_cast<uint16_t>(a.Below(70000))) != nullptr &&
             lib_.DNM_GetBoardInf(a.Board(), a.Byte() % 4, 0, 0, 0, 0, 0) >= -1;
    });
  }

  void Add(const std::string& name, Call call) { calls_.push_back({name, std::move(call)}); }

  void Work(Clock::time_point end, unsigned seed) {
    Args args(seed);
    while (Clock::now() < end) {
      const auto& [name, call] = calls_[args.Below(calls_.size())];
      const auto start = Clock::now();
      const bool named = call(args);
      Note(name, named, Clock::now() - start);
    }
  }

  // Closes and reopens the board now and then while the calls run.
  void Lifecycle(Clock::time_point end) {
    Args args(7);
    while (Clock::now() < end) {
      std::this_thread::sleep_for(milliseconds(500 + args.Below(2000)));
      const auto start = Clock::now();
      const bool named = Named(lib_.DNM_CloseBoard(0)) && Named(lib_.DNM_ActiveBoard(0)) &&
                         Named(lib_.DNM_Online(0, 0, 0, 0));
      Note("close, activate, online", named, Clock::now() - start);
    }
  }

  // GoogleTest's assertions may be made from any thread.
  static void Note(const std::string& name, bool named, Clock::duration took) {
    EXPECT_TRUE(named) << name << " gave a code the library does not name, or a count it cannot";
    EXPECT_LT(took, kCallLimit) << name << " took too long";
  }

  MasterLib& lib_;
  const Clock::time_point started_ = Clock::now();
  std::vector<std::pair<std::string, Call>> calls_;
};

TEST(ApiAbuse, EveryCallReturnsANamedCodeInTimeAndCloseLeavesNothingBehind) {
  UseNetwork(
      "slave segment=vcan0.1 mac=3 produced=4 consumed=4 inputs=echo\n"
      "slave segment=vcan0.1 mac=4 delay=300\n"
      "slave segment=vcan0.1 mac=5 stray=20 frag_short=1 io_frag_skip=1 io_len=12\n"
      "slave segment=vcan0.1 mac=6 error=all error_status=0x14\n"
      "slave segment=vcan0.1 mac=7 silent_from=2000 back_at=6000 ucmm=1\n"
      "slave segment=vcan0.1 mac=20 faulted=1 vendor=901 serial=200020\n"
      "owner segment=vcan0.1 mac=50 form=7EF\n");
  MasterLib lib;
  ASSERT_TRUE(lib.loaded());
  // A first round makes the card's own threads (each segment's bus thread), which stay.
  ASSERT_EQ(lib.DNM_ActiveBoard(0), 0);
  for (uint8_t port = 0; port < 4; ++port) ASSERT_EQ(lib.DNM_Online(0, port, 0, 0), 0);
  ASSERT_EQ(lib.DNM_CloseBoard(0), 0);
  const size_t threads_before = ThreadCount();
  const long memory_before = ResidentKiB();

  const char* seconds = std::getenv("DNM_ABUSE_SECONDS");
  VirtualCard(lib).Fail("CAN_SendMsg", CAN_TransmitBufferLocked, 5);
  Abuse abuse(lib);
  abuse.Run(std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 20), 4);

  lib.DNM_CloseBoard(0);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (ThreadCount() > threads_before && Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(20));
  EXPECT_LE(ThreadCount(), threads_before);
  const long memory_after = ResidentKiB();
  std::printf("threads %zu -> %zu, resident memory %ld -> %ld KiB\n", threads_before, ThreadCount(),
              memory_before, memory_after);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(memory_after - memory_before, 64 * 1024) << "resident memory grew";
#endif
}

}  // namespace
}  // namespace dnm::test
