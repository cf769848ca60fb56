// Injected failures: a driver entry armed with a code returns that code instead of doing its
// work, on its next call (or next N calls) or on every call until cleared.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vcan {

class Faults {
 public:
  static constexpr int32_t kEveryCall = -1;

  static bool IsEntryName(std::string_view entry);

  // times > 0: that many calls; kEveryCall: until cleared. False for an unknown entry or a bad
  // count.
  bool Arm(std::string_view entry, int32_t code, int32_t times);

  // An empty name clears every entry.
  void Clear(std::string_view entry);

  // The code the entry must return now, if it is armed; counts the call.
  std::optional<int32_t> Take(std::string_view entry);

 private:
  struct Fault {
    int32_t code;
    int32_t remaining;  // kEveryCall for no limit
  };

  std::mutex mutex_;
  std::map<std::string, Fault, std::less<>> armed_;
  std::atomic<bool> any_armed_{false};  // lets unarmed calls skip the lock
};

}  // namespace vcan
