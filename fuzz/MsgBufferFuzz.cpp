// Frames of any length stored in a receive buffer and taken out by keys, against a plain model:
// every take gives the oldest matching frame with the bytes it carried (nothing past its
// length), frames that stay keep their order, and a full buffer refuses frames.
#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "FuzzInput.h"
#include "port/MsgBuffer.h"

namespace {

struct Model {
  CANMsg msg;
  uint64_t arrival;
};

uint8_t Carried(const CANMsg& msg) {
  return std::min<uint8_t>(msg.len, 8);
}

bool Matches(const CANMsg& msg, const dnm::FrameKey& key) {
  if (msg.id != key.id || (key.match_len && msg.len != key.len)) return false;
  if (Carried(msg) < key.data_count) return false;
  return std::equal(key.data.begin(), key.data.begin() + key.data_count, msg.data);
}

dnm::FrameKey Key(fuzz::Input& input) {
  dnm::FrameKey key{0x400u + (input.Byte() & 3)};
  key.data_count = input.Byte() % 4;
  for (auto& byte : key.data) byte = input.Byte() & 0x83;
  key.match_len = (input.Byte() & 1) != 0;
  key.len = input.Byte() & 0x0F;
  return key;
}

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  dnm::MsgBuffer buffer;
  std::deque<Model> model;
  uint64_t arrivals = 0;
  std::vector<uint64_t> marks;
  while (!input.empty()) {
    switch (input.Byte() % 5) {
      case 0: {
        CANMsg msg = input.Frame(0x400u + (input.Byte() & 3));
        for (auto& byte : msg.data) byte &= 0x83;  // few values, so keys match often
        const bool room = model.size() < dnm::MsgBuffer::kCapacity;
        Check(buffer.PutMsg(msg) == (room ? dnm::MsgBuffer::kStored : dnm::MsgBuffer::kFull));
        if (!room) break;
        std::fill(msg.data + Carried(msg), msg.data + 8, 0);
        model.push_back({msg, arrivals++});
        break;
      }
      case 1: {
        const dnm::FrameKey key = Key(input);
        CANMsg out{};
        const auto found = std::find_if(model.begin(), model.end(),
                                        [&](const Model& m) { return Matches(m.msg, key); });
        const int result = buffer.GetMsg(out, key);
        Check(result == (found == model.end() ? dnm::MsgBuffer::kNoMatch : 0));
        if (found == model.end()) break;
        Check(out.id == found->msg.id && out.len == found->msg.len);
        Check(std::memcmp(out.data, found->msg.data, 8) == 0);
        model.erase(found);
        break;
      }
      case 2:
        marks.push_back(buffer.ArrivalMark());
        break;
      case 3: {
        if (marks.empty()) break;
        const uint64_t mark = marks[input.Byte() % marks.size()];
        buffer.DropArrivedBefore(mark);
        std::erase_if(model, [&](const Model& m) { return m.arrival < mark; });
        break;
      }
      case 4:
        buffer.PurgeFragments();
        std::erase_if(model, [](const Model& m) { return (m.msg.data[0] & 0x80) != 0; });
        break;
    }
    Check(buffer.GetDataCount() == model.size());
  }
  return 0;
}
