#include "io/PollTimetable.h"

#include <algorithm>

namespace dnm {

namespace {

// How far `at` lies after `now`, negative when it is past.
int32_t Distance(uint32_t at, uint32_t now) {
  return static_cast<int32_t>(at - now);
}

uint32_t Earlier(uint32_t a, uint32_t b) {
  return Distance(a, b) < 0 ? a : b;
}

}  // namespace

PollTimetable::Entry* PollTimetable::Find(Id id) {
  for (Entry& entry : entries_) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

const PollTimetable::Entry* PollTimetable::Find(Id id) const {
  return const_cast<PollTimetable*>(this)->Find(id);
}

void PollTimetable::Add(Id id, uint32_t at) {
  if (Find(id) == nullptr) entries_.push_back({id, at, added_++, false, std::nullopt});
}

void PollTimetable::Remove(Id id) {
  std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
}

bool PollTimetable::Has(Id id) const {
  return Find(id) != nullptr;
}

void PollTimetable::Set(Id id, uint32_t at) {
  if (Entry* entry = Find(id)) {
    entry->at = entry->asked ? Earlier(at, *entry->asked) : at;
    entry->asked.reset();
    entry->taken = false;
  }
}

void PollTimetable::Advance(Id id, uint32_t at) {
  Entry* entry = Find(id);
  if (entry == nullptr) return;
  if (entry->taken) {
    entry->asked = entry->asked ? Earlier(at, *entry->asked) : at;
  } else {
    entry->at = Earlier(at, entry->at);
  }
}

std::optional<uint32_t> PollTimetable::Earliest(uint32_t now) const {
  std::optional<uint32_t> earliest;
  for (const Entry& entry : entries_) {
    if (entry.taken) continue;
    if (!earliest || Distance(entry.at, now) < Distance(*earliest, now)) earliest = entry.at;
  }
  return earliest;
}

std::vector<PollTimetable::Id> PollTimetable::TakeDue(uint32_t now, uint32_t window) {
  std::vector<Entry*> due;
  for (Entry& entry : entries_) {
    if (!entry.taken && Distance(entry.at, now) <= static_cast<int32_t>(window))
      due.push_back(&entry);
  }
  std::sort(due.begin(), due.end(), [now](const Entry* a, const Entry* b) {
    const int32_t da = Distance(a->at, now);
    const int32_t db = Distance(b->at, now);
    return da != db ? da < db : a->order < b->order;
  });
  std::vector<Id> ids;
  ids.reserve(due.size());
  for (Entry* entry : due) {
    entry->taken = true;
    entry->asked.reset();
    ids.push_back(entry->id);
  }
  return ids;
}

}  // namespace dnm
