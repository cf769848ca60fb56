// Frames of any identifier, length and bytes routed as the receive threads route them, by a
// routing table and device states taken from the input. A frame goes only into buffers its
// identifier maps to, at most once per table entry, with exactly its own length and carried
// bytes; a frame whose identifier is not mapped goes nowhere; the same frame with other bytes
// past its length is routed the same way.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "port/DeviceRouting.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"

namespace {

constexpr uint8_t kDevices = 4;
constexpr uint8_t kInstances = 4;
constexpr uint8_t kAbsentMac = 70;  // a table entry for a MAC ID no device can have

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

CANMsg OtherBytesPastLength(CANMsg frame) {
  for (size_t i = std::min<size_t>(frame.len, 8); i < 8; ++i) frame.data[i] ^= 0xFF;
  return frame;
}

bool SameRoute(const dnm::DeviceRoute& a, const dnm::DeviceRoute& b) {
  return a.put == b.put && a.note == b.note && a.not_own_message == b.not_own_message;
}

struct Network {
  uint8_t master = 0;
  std::array<dnm::DeviceState, kDevices> devices{};
  dnm::MapTable map;
  std::vector<dnm::RouteTarget> entries_of_id;  // the entries of the frame routed last
  dnm::MsgBuffer port_buffer;
  std::array<std::array<dnm::MsgBuffer, kInstances>, kDevices> buffers;

  dnm::MsgBuffer* Buffer(const dnm::RouteTarget& target) {
    if (target.mac == dnm::kPortBufferId) return &port_buffer;
    if (target.mac >= kDevices || target.instance >= kInstances) return nullptr;
    return devices[target.mac].started ? &buffers[target.mac][target.instance] : nullptr;
  }
};

dnm::RouteTarget Target(fuzz::Input& input) {
  const uint8_t pick = input.Byte() % (kDevices + 2);
  if (pick == kDevices) return {dnm::kPortBufferId, dnm::kPortBufferId};
  const uint8_t mac = pick < kDevices ? pick : kAbsentMac;
  return {mac, static_cast<uint8_t>(input.Byte() % (kInstances + 1))};
}

void SetUp(fuzz::Input& input, Network& network, std::vector<uint32_t>& ids) {
  network.master = input.Byte() & 0x3F;
  for (auto& device : network.devices) {
    const uint8_t state = input.Byte();
    device = {(state & 1) != 0, (state & 2) != 0};
  }
  for (int entries = input.Byte() % 8; entries > 0; --entries) {
    ids.push_back(input.Word() & 0x7FF);
    const dnm::RouteTarget target = Target(input);
    network.map.AddMap(ids.back(), target.mac, target.instance);
  }
}

// Routes the frame as the receive threads do: into the port buffer, or by the device rules.
void Route(const CANMsg& msg, Network& network) {
  dnm::MapTable::Matches matches;
  network.map.FindConnectionID(msg.id, matches);
  network.entries_of_id.assign(matches.targets.begin(), matches.targets.begin() + matches.count);
  for (const dnm::RouteTarget& target : network.entries_of_id) {
    dnm::MsgBuffer* buffer = network.Buffer(target);
    if (target.mac == dnm::kPortBufferId) {
      buffer->PutMsg(msg);
      continue;
    }
    const dnm::DeviceState state =
        target.mac < kDevices ? network.devices[target.mac] : dnm::DeviceState{};
    const dnm::DeviceRoute route = dnm::PlanDeviceRoute(msg, network.master, state);
    Check(SameRoute(route, dnm::PlanDeviceRoute(OtherBytesPastLength(msg), network.master, state)));
    if (buffer != nullptr && route.put) buffer->PutMsg(msg);
  }
}

// Each buffer holds the frame at most as often as the table maps its identifier there, with
// the frame's length and carried bytes only; the buffers are emptied for the next frame.
void CheckAndEmpty(const CANMsg& msg, dnm::MsgBuffer& buffer, size_t entries) {
  Check(buffer.GetDataCount() <= entries);
  const size_t carried = std::min<size_t>(msg.len, 8);
  CANMsg out{};
  while (buffer.GetMsg(out, msg.id) == 0) {
    Check(out.len == msg.len && std::memcmp(out.data, msg.data, carried) == 0);
    Check(std::all_of(out.data + carried, out.data + 8, [](uint8_t b) { return b == 0; }));
  }
  Check(buffer.GetDataCount() == 0);
}

size_t EntriesFor(const Network& network, uint8_t mac, uint8_t instance) {
  return std::count_if(
      network.entries_of_id.begin(), network.entries_of_id.end(), [&](const dnm::RouteTarget& t) {
        return t.mac == mac && (mac == dnm::kPortBufferId || t.instance == instance);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  auto network = std::make_unique<Network>();
  std::vector<uint32_t> ids;
  SetUp(input, *network, ids);
  while (!input.empty()) {
    const uint8_t pick = input.Byte();  // mostly a mapped identifier, sometimes any
    const bool mapped = (pick & 1) != 0 && !ids.empty();
    const uint32_t id = mapped ? ids[(pick >> 1) % ids.size()] : input.Word() & 0x7FF;
    const CANMsg msg = input.Frame(id);
    Route(msg, *network);
    CheckAndEmpty(msg, network->port_buffer, EntriesFor(*network, dnm::kPortBufferId, 0));
    for (uint8_t mac = 0; mac < kDevices; ++mac) {
      for (uint8_t instance = 0; instance < kInstances; ++instance) {
        CheckAndEmpty(msg, network->buffers[mac][instance], EntriesFor(*network, mac, instance));
      }
    }
  }
  return 0;
}
