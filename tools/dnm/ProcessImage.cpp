#include "ProcessImage.h"

#include <algorithm>
#include <array>

#include "Connections.h"

namespace dnm::tool {
namespace {

constexpr uint16_t kNotConfigured = 0xFFFF;
constexpr size_t kMaxDataBytes = 64;

const std::array<CounterRead, kCounterCount>& CounterReads() {
  const Api& a = api();
  static const std::array<CounterRead, kCounterCount> reads = {
      a.DNM_GetExplicitMsgNoResponse,
      a.DNM_GetExplicitMsgErrorResponse,
      a.DNM_GetBitStrobeNoResponse,
      a.DNM_GetCOS_CyclicWithPollNoResponse,
      a.DNM_GetCOS_CyclicWithPollErrorResponse,
      a.DNM_GetCOS_CyclicWithPollFragmentError,
      a.DNM_GetCOS_CyclicWithPollSendError,
      a.DNM_GetCOS_CyclicWithoutPollSendError,
      a.DNM_GetCOS_CyclicWithoutPollACKNoResponse,
      a.DNM_GetPollSendError,
      a.DNM_GetPollNoResponse,
      a.DNM_GetPollErrorResponse,
      a.DNM_GetPollFragmentError};
  return reads;
}

const ConnectionKind& KindOfField(RegisterField field, const DeviceEntry& device) {
  if (field == RegisterField::kPollData) return KindOf(Kind::kPoll);
  if (field == RegisterField::kStrobeData) return KindOf(Kind::kStrobe);
  return KindOf(device.cos_cyclic->cyclic ? Kind::kCyclic : Kind::kCos);
}

// A device's place on the bus.
struct Address {
  uint8_t board, port, mac;
};

// The status check of a configured connection.
uint16_t StatusOf(bool configured, const ConnectionKind& kind, const Address& at) {
  return configured ? kind.check(at.board, at.port, at.mac) : kNotConfigured;
}

uint16_t FailureOf(bool configured, uint8_t kind, const Address& at) {
  if (!configured) return kNotConfigured;
  DNM_SetupFailure failure{};
  if (api().DNM_GetSetupFailure(at.board, at.port, at.mac, kind, &failure) != DNM_NoError)
    return kNotConfigured;
  return failure.cause;
}

std::array<uint16_t, kStatusRegisters> StatusBlock(const Address& at, const DeviceEntry& device,
                                                   DeviceRun run) {
  std::array<uint16_t, kStatusRegisters> block{};
  const bool cyclic = device.cos_cyclic && device.cos_cyclic->cyclic;
  block[kDeviceStatus] = api().DNM_GetDeviceStatus(at.board, at.port, at.mac);
  block[kExplicitStatus] = StatusOf(true, KindOf(Kind::kExplicit), at);
  block[kPollStatus] = StatusOf(device.poll.has_value(), KindOf(Kind::kPoll), at);
  block[kStrobeStatus] = StatusOf(device.strobe.has_value(), KindOf(Kind::kStrobe), at);
  block[kCosCyclicStatus] = StatusOf(device.cos_cyclic.has_value(),
                                     KindOf(cyclic ? Kind::kCyclic : Kind::kCos), at);
  block[kDeviceRun] = static_cast<uint16_t>(run);
  block[kExplicitFailure] = FailureOf(true, DNM_ConnectionExplicit, at);
  block[kPollFailure] = FailureOf(device.poll.has_value(), DNM_ConnectionPoll, at);
  block[kStrobeFailure] = FailureOf(device.strobe.has_value(), DNM_ConnectionBitStrobe, at);
  block[kCosCyclicFailure] =
      FailureOf(device.cos_cyclic.has_value(), DNM_ConnectionCOS_Cyclic, at);
  block[kPollPeriodAchieved] = static_cast<uint16_t>(
      std::min<uint32_t>(0xFFFF, api().DNM_GetPollPeriodAchieved(at.board, at.port, at.mac)));
  for (size_t i = 0; i < kCounterCount; ++i) {
    const uint32_t count = CounterReads()[i](at.board, at.port, at.mac);
    block[kFirstCounter + 2 * i] = static_cast<uint16_t>(count >> 16);
    block[kFirstCounter + 2 * i + 1] = static_cast<uint16_t>(count & 0xFFFF);
  }
  return block;
}

// Registers [first, end) of a range whose first register holds bytes[0] and bytes[1]; a byte
// past the data reads 0.
void PackBytes(const uint8_t* bytes, size_t size, uint32_t offset, uint32_t count,
               uint16_t* values) {
  const auto byte = [&](size_t at) { return at < size ? bytes[at] : uint8_t{0}; };
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 2 * size_t{offset + i};
    values[i] = static_cast<uint16_t>(byte(at) << 8 | byte(at + 1));
  }
}

void UnpackBytes(const uint16_t* values, uint32_t offset, uint32_t count,
                 std::vector<uint8_t>& bytes) {
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 2 * size_t{offset + i};
    if (at < bytes.size()) bytes[at] = static_cast<uint8_t>(values[i] >> 8);
    if (at + 1 < bytes.size()) bytes[at + 1] = static_cast<uint8_t>(values[i] & 0xFF);
  }
}

const DeviceEntry& DeviceOf(const ScanList& list, const RegisterRange& range) {
  return list.ports[range.port_index].devices[range.device_index];
}

Address AddressOf(const ScanList& list, const RegisterRange& range) {
  const PortEntry& port = list.ports[range.port_index];
  return {port.board, port.port, range.mac};
}

bool SamePort(const PortEntry& a, const PortEntry& b) {
  return a.board == b.board && a.port == b.port && a.mac == b.mac && a.baud_code == b.baud_code;
}

// Runs part(range, first, end) for the part [first, end) of each range that holds
// [start, start + count), in address order, up to the first exception.
template <typename Part>
uint8_t EachPart(const RegisterMap& map, RegisterTable table, uint16_t start, uint16_t count,
                 Part part) {
  const std::vector<const RegisterRange*> cover = map.Cover(table, start, count);
  if (cover.empty()) return kIllegalDataAddress;
  const uint32_t end = uint32_t{start} + count;
  for (const RegisterRange* range : cover) {
    const uint8_t exception =
        part(*range, std::max<uint32_t>(start, range->start), std::min(end, range->end()));
    if (exception != 0) return exception;
  }
  return 0;
}

}  // namespace

ProcessImage::Snapshot ProcessImage::Now() {
  std::shared_ptr<const ScanList> list = scanner_.List();
  if (!list) list = std::make_shared<const ScanList>();
  const std::lock_guard lock(map_mutex_);
  if (list != map_list_) {
    map_ = std::make_shared<const RegisterMap>(*list);
    map_list_ = list;
  }
  return {list, map_};
}

uint8_t ProcessImage::Read(RegisterTable table, uint16_t start, uint16_t count,
                           uint16_t* values) {
  const Snapshot now = Now();
  return EachPart(*now.map, table, start, count,
                  [&](const RegisterRange& range, uint32_t first, uint32_t end) {
                    return ReadRange(now, range, first, end, values + (first - start));
                  });
}

uint8_t ProcessImage::Write(uint16_t start, const uint16_t* values, uint16_t count) {
  const Snapshot now = Now();
  return EachPart(*now.map, RegisterTable::kHolding, start, count,
                  [&](const RegisterRange& range, uint32_t first, uint32_t end) {
                    return WriteRange(now, range, first, end, values + (first - start));
                  });
}

uint8_t ProcessImage::ReadRange(const Snapshot& now, const RegisterRange& range, uint32_t first,
                                uint32_t end, uint16_t* values) {
  const DeviceRun run = scanner_.RunOf(range.port_index, range.mac);
  if (run == DeviceRun::kAbsent) return kIllegalDataAddress;
  const DeviceEntry& device = DeviceOf(*now.list, range);
  const Address at = AddressOf(*now.list, range);
  const uint32_t offset = first - range.start;
  if (range.field == RegisterField::kStatus) {
    const std::array<uint16_t, kStatusRegisters> block = StatusBlock(at, device, run);
    std::copy(block.begin() + offset, block.begin() + (end - range.start), values);
    return 0;
  }
  if (range.table == RegisterTable::kHolding) {
    const std::lock_guard lock(outputs_mutex_);
    const Outputs& outputs = OutputsOf(now, range);
    PackBytes(outputs.bytes.data(), outputs.bytes.size(), offset, end - first, values);
    return 0;
  }
  uint8_t bytes[kMaxDataBytes] = {};
  uint32_t length = 0;
  const uint16_t code = KindOfField(range.field, device).read(at.board, at.port, at.mac, bytes,
                                                              &length);
  if (code != DNM_NoError || length != range.bytes) return kDeviceFailure;
  PackBytes(bytes, length, offset, end - first, values);
  return 0;
}

uint8_t ProcessImage::WriteRange(const Snapshot& now, const RegisterRange& range, uint32_t first,
                                 uint32_t end, const uint16_t* values) {
  if (scanner_.RunOf(range.port_index, range.mac) == DeviceRun::kAbsent)
    return kIllegalDataAddress;
  const Address at = AddressOf(*now.list, range);
  const std::lock_guard lock(outputs_mutex_);
  Outputs& outputs = OutputsOf(now, range);
  std::vector<uint8_t> bytes = outputs.bytes;
  UnpackBytes(values, first - range.start, end - first, bytes);
  const ConnectionKind& kind = KindOfField(range.field, DeviceOf(*now.list, range));
  if (kind.write(at.board, at.port, at.mac, bytes.data(), range.bytes) != DNM_NoError)
    return kDeviceFailure;
  outputs.bytes = std::move(bytes);
  return 0;
}

ProcessImage::Outputs& ProcessImage::OutputsOf(const Snapshot& now, const RegisterRange& range) {
  const PortEntry& line = now.list->ports[range.port_index];
  const PortEntry port{line.board, line.port, line.mac, line.baud_code, {}, line.line};
  const DeviceEntry& device = DeviceOf(*now.list, range);
  Outputs& outputs = outputs_[range.start];
  if (!SamePort(outputs.port, port) || !outputs.device.SameAs(device) ||
      outputs.bytes.size() != range.bytes) {
    outputs = {port, device, std::vector<uint8_t>(range.bytes, 0)};
  }
  return outputs;
}

}  // namespace dnm::tool
