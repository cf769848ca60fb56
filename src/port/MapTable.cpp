#include "port/MapTable.h"

#include "trace/Trace.h"

namespace dnm {

int MapTable::AddMap(uint32_t connection_id, uint8_t mac, uint8_t instance) {
  std::lock_guard lock(mutex_);
  if (count_ >= kMaxEntries) return kFull;
  entries_[count_++] = Entry{connection_id, RouteTarget{mac, instance}};
  return 0;
}

template <typename Pred>
int MapTable::RemoveWhere(Pred matches) {
  std::lock_guard lock(mutex_);
  bool removed = false;
  for (int i = 0; i < count_;) {
    if (!matches(entries_[i])) {
      ++i;
      continue;
    }
    // The last entry moves into the hole and is examined next.
    entries_[i] = entries_[--count_];
    removed = true;
  }
  return removed ? 0 : kNone;
}

int MapTable::RemoveByMACID(uint8_t mac) {
  return RemoveWhere([mac](const Entry& e) { return e.target.mac == mac; });
}

int MapTable::RemoveByInstance(uint8_t mac, uint8_t instance) {
  return RemoveWhere([mac, instance](const Entry& e) {
    return e.target.mac == mac && e.target.instance == instance;
  });
}

int MapTable::RemoveRoute(uint32_t connection_id, uint8_t mac, uint8_t instance) {
  return RemoveWhere([=](const Entry& e) {
    return e.connection_id == connection_id && e.target.mac == mac && e.target.instance == instance;
  });
}

int MapTable::FindConnectionID(uint32_t connection_id, Matches& matches) const {
  std::lock_guard lock(mutex_);
  matches.count = 0;
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].connection_id == connection_id) {
      matches.targets[matches.count++] = entries_[i].target;
    }
  }
  return matches.count > 0 ? kFound : kNone;
}

int MapTable::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void MapTable::ShowMapTable() const {
  if (!TraceEnabled()) return;
  std::lock_guard lock(mutex_);
  TraceLine("===================== MapTable ========================");
  TraceLine("  BufferID(DesMACID)    InstanceID-1    ConnectionID               ");
  for (int i = 0; i < count_; ++i) {
    Trace(
        "       0x%X                                 0x%X                      0x%X                "
        "    ",
        entries_[i].target.mac, entries_[i].target.instance, entries_[i].connection_id);
  }
  TraceLine("=======================================================");
}

}  // namespace dnm
