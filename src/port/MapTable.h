// Routing table of one port: which device buffer a frame with a given CAN
// identifier belongs to. Lookups by the receive threads and changes by the
// application's calls are kept apart by the table's own lock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace dnm {

// DesMACID (and InstanceID-1) of entries that route into the port's own
// buffer instead of a device's.
constexpr uint8_t kPortBufferId = 100;

struct RouteTarget {
  uint8_t mac;       // DesMACID, or kPortBufferId
  uint8_t instance;  // InstanceID - 1: 0 explicit, 1 poll, 2 bit-strobe, 3 COS/cyclic
};

class MapTable {
 public:
  static constexpr int kMaxEntries = 511;
  static constexpr int kFound = 0;
  static constexpr int kNone = 100;
  static constexpr int kFull = 101;

  // The matches of one lookup, in table order.
  struct Matches {
    int count = 0;
    std::array<RouteTarget, kMaxEntries> targets;
  };

  int AddMap(uint32_t connection_id, uint8_t mac, uint8_t instance);
  int RemoveByMACID(uint8_t mac);
  int RemoveByInstance(uint8_t mac, uint8_t instance);
  // Removes the entries of one identifier to one target.
  int RemoveRoute(uint32_t connection_id, uint8_t mac, uint8_t instance);
  // Copies every entry for the identifier; kFound or kNone.
  int FindConnectionID(uint32_t connection_id, Matches& matches) const;
  int Count() const;
  void ShowMapTable() const;

 private:
  template <typename Pred>
  int RemoveWhere(Pred matches);

  struct Entry {
    uint32_t connection_id;
    RouteTarget target;
  };
  mutable std::mutex mutex_;
  std::array<Entry, kMaxEntries + 1> entries_{};
  int count_ = 0;
};

}  // namespace dnm
