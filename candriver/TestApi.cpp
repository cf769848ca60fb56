// The VCAN_ test interface (include/vcan_test.h).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

#include "BitTiming.h"
#include "Card.h"
#include "Export.h"
#include "NetworkFile.h"
#include "NetworkSetup.h"
#include "PosixBackends.h"
#include "SlaveDirectory.h"
#include "SlaveOptions.h"
#include "vcan_test.h"

namespace vcan {
namespace {

constexpr int32_t kBadArgument = -1;

std::string_view EntryName(const char* entry) {
  return entry == nullptr ? "" : entry;
}

Segment* FindSegmentOfPort(int32_t board, int32_t port) {
  DriverPort* node = Card::Instance().FindPort(board, port);
  return node == nullptr ? nullptr : node->SimulatedSegment();
}

template <typename Work>
int32_t OnSegment(int32_t board, int32_t port, Work work) {
  Segment* segment = FindSegmentOfPort(board, port);
  return segment == nullptr ? kBadArgument : work(*segment);
}

template <typename Work>
int32_t OnTestNode(int32_t handle, Work work) {
  std::shared_ptr<TestNode> node = Card::Instance().test_nodes().Find(handle);
  return node == nullptr ? kBadArgument : work(*node);
}

VCAN_Frame ToTestFrame(const CarriedFrame& carried) {
  VCAN_Frame out{};
  out.msg = RecordFromFrame(carried.frame);
  std::snprintf(out.sender, sizeof out.sender, "%s", carried.sender.c_str());
  out.baud = carried.baud;
  out.bits = carried.bits;
  return out;
}

bool IsDriverPortName(const std::string& name) {
  return name.size() == 3 && name[1] == '/';
}

// A line per segment that holds simulated nodes or that other programs reach.
std::string DescribeSegments() {
  std::string text;
  for (Segment* segment : Card::Instance().Segments()) {
    std::string nodes;
    for (const std::string& name : segment->NodeNames()) {
      if (!IsDriverPortName(name)) nodes += (nodes.empty() ? "" : ", ") + name;
    }
    if (nodes.empty() && segment->reach().empty()) continue;
    text += "segment " + segment->name() + " (" +
            (segment->reach().empty() ? "in this process only" : segment->reach()) +
            "): " + (nodes.empty() ? "no simulated nodes" : nodes) + "\n";
  }
  return text;
}

template <typename Work>
int32_t OnSlave(int32_t board, int32_t port, int32_t mac, Work work) {
  Segment* segment = FindSegmentOfPort(board, port);
  if (segment == nullptr || mac < 0 || mac > 63) return kBadArgument;
  auto slave = dnsim::SlaveDirectory::Instance().Find(*segment, static_cast<uint8_t>(mac));
  return slave == nullptr ? kBadArgument : work(*slave);
}

// The behaviour text is read like the options of a `slave` line.
std::optional<dnsim::BehaviourUpdate> ParseBehaviourText(const char* text) {
  try {
    auto directive = ParseDirective(std::string("slave ") + text, 0);
    if (!directive->args.empty()) throw LineError("'" + directive->args[0] + "' is no key=value");
    return dnsim::ParseBehaviour(directive->options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "VELKCAN: VCAN_SlaveSetBehaviour: %s\n", error.what());
    return std::nullopt;
  }
}

void FillSlaveIoState(const dnsim::SlaveStatus& status, VCAN_SlaveState& state) {
  const auto& counters = status.counters;
  state.poll_state = static_cast<uint8_t>(status.poll_state);
  state.strobe_state = static_cast<uint8_t>(status.strobe_state);
  state.polls = counters.polls;
  state.poll_responses = counters.poll_responses;
  state.strobes = counters.strobes;
  state.strobe_responses = counters.strobe_responses;
  state.io_ignored = counters.io_ignored;
  state.io_watchdog_expiries = counters.io_watchdog_expiries;
  state.cos_state = static_cast<uint8_t>(status.cos_cyclic_state);
  state.cos_productions = counters.cos_productions;
  state.cos_repeats = counters.cos_repeats;
  state.cos_acks_received = counters.cos_acks_received;
  state.cos_outputs_received = counters.cos_outputs_received;
}

void FillSlaveState(const dnsim::SlaveStatus& status, VCAN_SlaveState& state) {
  state = VCAN_SlaveState{};
  state.explicit_allocated = (status.allocated & dnsim::kChoiceExplicit) != 0 ? 1 : 0;
  state.master_mac = status.master ? *status.master : -1;
  state.allocated_choice = status.allocated;
  state.explicit_state = static_cast<uint8_t>(status.explicit_state);
  state.expected_packet_rate = status.expected_packet_rate;
  state.watchdog_action = static_cast<uint8_t>(status.watchdog_action);
  const auto& counters = status.counters;
  state.last_expiry_action =
      counters.last_expiry_action ? static_cast<int8_t>(*counters.last_expiry_action) : -1;
  state.silent = status.silent ? 1 : 0;
  state.comm_faulted = status.faulted ? 1 : 0;
  state.watchdog_expiries = counters.watchdog_expiries;
  state.ignored_frames = counters.ignored_frames;
  std::copy(counters.requests.begin(), counters.requests.end(), state.requests);
  FillSlaveIoState(status, state);
  const size_t count = std::min<size_t>(status.ucmm.size(), VCAN_SLAVE_MAX_UCMM);
  state.ucmm_count = static_cast<int32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    const auto& ucmm = status.ucmm[i];
    state.ucmm[i] = VCAN_SlaveUcmmConnection{ucmm.instance,
                                             ucmm.master,
                                             static_cast<uint8_t>(ucmm.state),
                                             ucmm.expected_packet_rate,
                                             static_cast<uint8_t>(ucmm.watchdog_action),
                                             0};
  }
}

}  // namespace
}  // namespace vcan

using std::chrono::milliseconds;
using vcan::Card;
using vcan::kBadArgument;
using vcan::OnSegment;
using vcan::OnSlave;
using vcan::OnTestNode;
using vcan::Segment;
using vcan::TestNode;

VCAN_EXPORT const char* VCAN_NetworkPath(void) {
  return Card::Instance().network_path().c_str();
}

VCAN_EXPORT int32_t VCAN_RefusedLines(void) {
  return Card::Instance().refused_lines();
}

VCAN_EXPORT int32_t VCAN_HostSharedSegments(void) {
  return vcan::AskToHostSharedSegments() ? 0 : kBadArgument;
}

VCAN_EXPORT int32_t VCAN_UnhostedSegment(char* path, int32_t size) {
  if (path == nullptr || size <= 0) return kBadArgument;
  Card::Instance();
  const std::string unhosted = vcan::UnhostedSharedPath();
  std::snprintf(path, static_cast<size_t>(size), "%s", unhosted.c_str());
  return static_cast<int32_t>(unhosted.size());
}

VCAN_EXPORT int32_t VCAN_FailEntry(const char* entry, int32_t code, int32_t times) {
  return Card::Instance().faults().Arm(vcan::EntryName(entry), code, times) ? 0 : kBadArgument;
}

VCAN_EXPORT int32_t VCAN_ClearFault(const char* entry) {
  const std::string_view name = vcan::EntryName(entry);
  if (!name.empty() && !vcan::Faults::IsEntryName(name)) return kBadArgument;
  Card::Instance().faults().Clear(name);
  return 0;
}

VCAN_EXPORT int32_t VCAN_AttachNode(int32_t board, int32_t port, uint32_t baud_kbit) {
  auto baud = vcan::BaudFromKbit(baud_kbit);
  if (!baud) return kBadArgument;
  return OnSegment(board, port, [&](Segment& segment) {
    return Card::Instance().test_nodes().Attach(segment, *baud);
  });
}

VCAN_EXPORT int32_t VCAN_DetachNode(int32_t node) {
  return Card::Instance().test_nodes().Detach(node) ? 0 : kBadArgument;
}

VCAN_EXPORT int32_t VCAN_NodeSend(int32_t node, const CANMsg* msg, uint32_t timeout_ms) {
  if (msg == nullptr) return kBadArgument;
  return OnTestNode(
      node, [&](TestNode& test_node) { return test_node.Send(*msg, milliseconds(timeout_ms)); });
}

VCAN_EXPORT int32_t VCAN_NodeReceive(int32_t node, CANMsg* msg, uint32_t timeout_ms) {
  if (msg == nullptr) return kBadArgument;
  return OnTestNode(
      node, [&](TestNode& test_node) { return test_node.Receive(*msg, milliseconds(timeout_ms)); });
}

VCAN_EXPORT int32_t VCAN_NodePending(int32_t node) {
  return OnTestNode(node, [](TestNode& test_node) { return test_node.PendingCount(); });
}

VCAN_EXPORT int32_t VCAN_HoldSegment(int32_t board, int32_t port, int32_t hold) {
  return OnSegment(board, port, [hold](Segment& segment) {
    segment.Hold(hold != 0);
    return 0;
  });
}

VCAN_EXPORT int32_t VCAN_GetSegmentStats(int32_t board, int32_t port, VCAN_SegmentStats* stats) {
  if (stats == nullptr) return kBadArgument;
  return OnSegment(board, port, [stats](Segment& segment) {
    const vcan::SegmentStats got = segment.Stats();
    stats->frames = got.frames;
    stats->bits = got.bits;
    stats->busy_us = std::chrono::duration_cast<std::chrono::microseconds>(got.busy).count();
    stats->overrun_drops = got.overrun_drops;
    stats->nodes = got.nodes;
    return 0;
  });
}

VCAN_EXPORT int32_t VCAN_ResetSegmentStats(int32_t board, int32_t port) {
  return OnSegment(board, port, [](Segment& segment) {
    segment.ResetStats();
    return 0;
  });
}

VCAN_EXPORT int32_t VCAN_RecentFrames(int32_t board, int32_t port, VCAN_Frame* frames,
                                      int32_t max) {
  if (frames == nullptr || max < 0) return kBadArgument;
  return OnSegment(board, port, [&](Segment& segment) {
    const auto recent = segment.RecentFrames();
    const size_t count = std::min(recent.size(), static_cast<size_t>(max));
    const size_t first = recent.size() - count;
    for (size_t i = 0; i < count; ++i) frames[i] = vcan::ToTestFrame(recent[first + i]);
    return static_cast<int32_t>(count);
  });
}

VCAN_EXPORT int32_t VCAN_SegmentName(int32_t board, int32_t port, char* name, int32_t size) {
  if (name == nullptr || size <= 0) return kBadArgument;
  return OnSegment(board, port, [&](Segment& segment) {
    std::snprintf(name, static_cast<size_t>(size), "%s", segment.name().c_str());
    return static_cast<int32_t>(segment.name().size());
  });
}

VCAN_EXPORT int32_t VCAN_DescribeCard(char* text, int32_t size) {
  if (text == nullptr || size <= 0) return kBadArgument;
  const std::string described = vcan::DescribeSegments();
  std::snprintf(text, static_cast<size_t>(size), "%s", described.c_str());
  return static_cast<int32_t>(described.size());
}

VCAN_EXPORT int32_t VCAN_GetPortStats(int32_t board, int32_t port, VCAN_PortStats* stats) {
  vcan::DriverPort* node = Card::Instance().FindPort(board, port);
  if (node == nullptr || stats == nullptr) return kBadArgument;
  const vcan::PortStats got = node->Stats();
  *stats = VCAN_PortStats{got.sent,          got.received,            got.filtered,
                          got.overrun_drops, node->IsOnBus() ? 1 : 0, node->BitRate()};
  return 0;
}

VCAN_EXPORT int32_t VCAN_SlaveSetBehaviour(int32_t board, int32_t port, int32_t mac,
                                           const char* options) {
  if (options == nullptr) return kBadArgument;
  return OnSlave(board, port, mac, [options](dnsim::DeviceNetSlave& slave) {
    const auto update = vcan::ParseBehaviourText(options);
    if (!update) return kBadArgument;
    slave.ChangeBehaviour(*update);
    return 0;
  });
}

VCAN_EXPORT int32_t VCAN_SlaveGetState(int32_t board, int32_t port, int32_t mac,
                                       VCAN_SlaveState* state) {
  if (state == nullptr) return kBadArgument;
  return OnSlave(board, port, mac, [state](dnsim::DeviceNetSlave& slave) {
    vcan::FillSlaveState(slave.Status(), *state);
    return 0;
  });
}

VCAN_EXPORT int32_t VCAN_SlaveReadAttribute(int32_t board, int32_t port, int32_t mac,
                                            int32_t attribute, uint8_t* value, int32_t size) {
  if (attribute < 1 || attribute > 255 || (value == nullptr && size != 0) || size < 0) {
    return kBadArgument;
  }
  return OnSlave(board, port, mac, [&](dnsim::DeviceNetSlave& slave) {
    const auto read = slave.ReadApplicationAttribute(static_cast<uint8_t>(attribute));
    if (!read) return kBadArgument;
    std::copy_n(read->begin(), std::min(read->size(), static_cast<size_t>(size)), value);
    return static_cast<int32_t>(read->size());
  });
}

VCAN_EXPORT int32_t VCAN_SlaveWriteAttribute(int32_t board, int32_t port, int32_t mac,
                                             int32_t attribute, const uint8_t* value,
                                             int32_t length) {
  if (attribute < 1 || attribute > 255 || value == nullptr || length < 1 || length > 255) {
    return kBadArgument;
  }
  return OnSlave(board, port, mac, [&](dnsim::DeviceNetSlave& slave) {
    const std::span<const uint8_t> bytes(value, static_cast<size_t>(length));
    return slave.WriteApplicationAttribute(static_cast<uint8_t>(attribute), bytes) ==
                   dnsim::kSuccess
               ? 0
               : kBadArgument;
  });
}

VCAN_EXPORT int32_t VCAN_SlaveReadOutputs(int32_t board, int32_t port, int32_t mac, uint8_t* data,
                                          int32_t size) {
  if ((data == nullptr && size != 0) || size < 0) return kBadArgument;
  return OnSlave(board, port, mac, [&](dnsim::DeviceNetSlave& slave) {
    const dnsim::Bytes outputs = slave.ReadOutputs();
    std::copy_n(outputs.begin(), std::min(outputs.size(), static_cast<size_t>(size)), data);
    return static_cast<int32_t>(outputs.size());
  });
}

VCAN_EXPORT int32_t VCAN_SlaveWriteInputs(int32_t board, int32_t port, int32_t mac,
                                          const uint8_t* data, int32_t length) {
  const auto max = static_cast<int32_t>(dnsim::ProcessImage::kMaxSize);
  if ((data == nullptr && length != 0) || length < 0 || length > max) return kBadArgument;
  return OnSlave(board, port, mac, [&](dnsim::DeviceNetSlave& slave) {
    slave.WriteInputs(std::span<const uint8_t>(data, static_cast<size_t>(length)));
    return 0;
  });
}
