// When each poll connection of a port is next served, and in which order.
// Not locked: the port's poll scheduler uses it under its own lock.
//
// Times are GetTickCount milliseconds, compared by their signed distance,
// so that the order holds across the counter's wrap.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace dnm {

class PollTimetable {
 public:
  using Id = const void*;

  // A new entry, due at `at`.
  void Add(Id id, uint32_t at);
  void Remove(Id id);
  bool Has(Id id) const;
  // Puts the entry at `at`, later or earlier, and back in the running when
  // it was taken; an earlier time asked for meanwhile (Advance) wins.
  void Set(Id id, uint32_t at);
  // Moves the entry to `at` when that is earlier than where it is; for a
  // taken entry, when it is put back.
  void Advance(Id id, uint32_t at);
  // The time of the earliest entry that is not taken; none when all are.
  std::optional<uint32_t> Earliest(uint32_t now) const;
  // Takes every entry due by now + window, the earliest first, those due at
  // the same time in the order they were added. A taken entry is left out of
  // Earliest and TakeDue until it is put back with Set.
  std::vector<Id> TakeDue(uint32_t now, uint32_t window);
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    Id id;
    uint32_t at;
    uint64_t order;  // when it was added, for ties
    bool taken;
    std::optional<uint32_t> asked;  // an earlier time asked for while taken
  };
  Entry* Find(Id id);
  const Entry* Find(Id id) const;

  std::vector<Entry> entries_;
  uint64_t added_ = 0;
};

}  // namespace dnm
