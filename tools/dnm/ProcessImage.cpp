#include "ProcessImage.h"

#include <algorithm>
#include <array>

#include "Connections.h"

namespace dnm::tool {
namespace {

constexpr uint16_t kNotConfigured = 0xFFFF;
constexpr size_t kMaxDataBytes = 64;

const ConnectionKind& KindOfField(RegisterField field, const DeviceEntry& device) {
  if (field == RegisterField::kPollData) return KindOf(Kind::kPoll);
  if (field == RegisterField::kStrobeData) return KindOf(Kind::kStrobe);
  return KindOf(device.cos_cyclic->cyclic ? Kind::kCyclic : Kind::kCos);
}

// The status check of a configured connection.
uint16_t StatusOf(bool configured, const ConnectionKind& kind, const DeviceAddress& at) {
  return configured ? kind.check(at.board, at.port, at.mac) : kNotConfigured;
}

uint16_t FailureOf(bool configured, uint8_t kind, const DeviceAddress& at) {
  if (!configured) return kNotConfigured;
  DNM_SetupFailure failure{};
  if (api().DNM_GetSetupFailure(at.board, at.port, at.mac, kind, &failure) != DNM_NoError)
    return kNotConfigured;
  return failure.cause;
}

std::array<uint16_t, kStatusRegisters> StatusBlock(const DeviceAddress& at, const DeviceEntry& device,
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
  const std::array<uint32_t, kCounterCount> counts = ReadCounters(at);
  for (size_t i = 0; i < kCounterCount; ++i) {
    const uint32_t count = counts[i];
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

// The bytes of count registers, the first byte of each in its high byte.
std::vector<uint8_t> UnpackBytes(const uint16_t* values, uint32_t count) {
  std::vector<uint8_t> bytes(2 * size_t{count});
  for (uint32_t i = 0; i < count; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(values[i] >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(values[i] & 0xFF);
  }
  return bytes;
}

const DeviceEntry& DeviceOf(const ScanList& list, const RegisterRange& range) {
  return list.ports[range.port_index].devices[range.device_index];
}

DeviceAddress AddressOf(const ScanList& list, const RegisterRange& range) {
  return AddressOf(list.ports[range.port_index], DeviceOf(list, range));
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
  const DeviceAddress at = AddressOf(*now.list, range);
  const uint32_t offset = first - range.start;
  if (range.field == RegisterField::kStatus) {
    const std::array<uint16_t, kStatusRegisters> block = StatusBlock(at, device, run);
    std::copy(block.begin() + offset, block.begin() + (end - range.start), values);
    return 0;
  }
  if (range.table == RegisterTable::kHolding) {
    const std::vector<uint8_t> outputs =
        outputs_.Last(now.list->ports[range.port_index], device);
    PackBytes(outputs.data(), outputs.size(), offset, end - first, values);
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
  // The last register of an odd size holds one byte of the outputs.
  const size_t offset = 2 * size_t{first - range.start};
  const size_t size = std::min<size_t>(2 * size_t{end - first}, range.bytes - offset);
  const std::vector<uint8_t> bytes = UnpackBytes(values, end - first);
  const uint16_t code = outputs_.Write(now.list->ports[range.port_index],
                                       DeviceOf(*now.list, range), offset, bytes.data(), size);
  return code == DNM_NoError ? 0 : kDeviceFailure;
}

}  // namespace dnm::tool
