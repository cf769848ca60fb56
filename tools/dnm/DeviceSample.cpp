#include "DeviceSample.h"

#include <algorithm>

namespace dnm::tool {
namespace {

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

bool SamePort(const PortEntry& a, const PortEntry& b) {
  return a.board == b.board && a.port == b.port && a.mac == b.mac && a.baud_code == b.baud_code;
}

}  // namespace

DeviceAddress AddressOf(const PortEntry& port, const DeviceEntry& device) {
  return {port.board, port.port, device.mac};
}

std::vector<const ConnectionKind*> ConfiguredKinds(const DeviceEntry& device) {
  std::vector<const ConnectionKind*> kinds;
  if (device.poll) kinds.push_back(&KindOf(Kind::kPoll));
  if (device.strobe) kinds.push_back(&KindOf(Kind::kStrobe));
  if (device.cos_cyclic)
    kinds.push_back(&KindOf(device.cos_cyclic->cyclic ? Kind::kCyclic : Kind::kCos));
  return kinds;
}

uint16_t InputSize(const DeviceEntry& device, Kind kind) {
  switch (kind) {
    case Kind::kPoll:
      return device.poll ? device.poll->input : 0;
    case Kind::kStrobe:
      return device.strobe ? device.strobe->input : 0;
    case Kind::kCos:
    case Kind::kCyclic:
      return device.cos_cyclic ? device.cos_cyclic->input : 0;
    case Kind::kExplicit:
      break;
  }
  return 0;
}

const ConnectionKind* OutputKind(const DeviceEntry& device) {
  if (device.poll) return device.poll->output > 0 ? &KindOf(Kind::kPoll) : nullptr;
  if (device.cos_cyclic && device.cos_cyclic->output > 0)
    return &KindOf(device.cos_cyclic->cyclic ? Kind::kCyclic : Kind::kCos);
  return nullptr;
}

uint16_t OutputSize(const DeviceEntry& device, Kind kind) {
  if (kind == Kind::kPoll) return device.poll ? device.poll->output : 0;
  if (kind == Kind::kCos || kind == Kind::kCyclic)
    return device.cos_cyclic ? device.cos_cyclic->output : 0;
  return 0;
}

uint16_t OutputSize(const DeviceEntry& device) {
  const ConnectionKind* kind = OutputKind(device);
  return kind == nullptr ? 0 : OutputSize(device, kind->kind);
}

std::array<uint32_t, kCounterCount> ReadCounters(const DeviceAddress& at) {
  std::array<uint32_t, kCounterCount> counts{};
  for (size_t i = 0; i < kCounterCount; ++i) counts[i] = CounterReads()[i](at.board, at.port, at.mac);
  return counts;
}

std::string CountersJson(const std::array<uint32_t, kCounterCount>& counters) {
  std::string json = "{";
  for (size_t i = 0; i < kCounterCount; ++i)
    json += (i == 0 ? "\"" : ",\"") + std::string(CounterName(i)) + "\":" +
            std::to_string(counters[i]);
  return json + "}";
}

ConnectionSample SampleConnection(const DeviceAddress& at, const DeviceEntry& device,
                                  const ConnectionKind& kind) {
  ConnectionSample sample;
  sample.kind = &kind;
  sample.status = kind.check(at.board, at.port, at.mac);
  sample.failure = SetupFailureAt(at.board, at.port, at.mac, kind);
  const uint16_t size = InputSize(device, kind.kind);
  if (kind.read == nullptr || size == 0) return sample;
  uint8_t bytes[kMaxDataBytes] = {};
  uint32_t length = 0;
  if (kind.read(at.board, at.port, at.mac, bytes, &length) != DNM_NoError || length != size)
    return sample;
  sample.inputs_valid = true;
  sample.inputs.assign(bytes, bytes + length);
  return sample;
}

DeviceSample SampleDevice(const PortEntry& port, const DeviceEntry& device, DeviceRun run) {
  const DeviceAddress at = AddressOf(port, device);
  DeviceSample sample{api().DNM_GetDeviceStatus(at.board, at.port, at.mac), run,
                      api().DNM_GetPollPeriodAchieved(at.board, at.port, at.mac),
                      ReadCounters(at), {}};
  sample.connections.push_back(SampleConnection(at, device, KindOf(Kind::kExplicit)));
  for (const ConnectionKind* kind : ConfiguredKinds(device))
    sample.connections.push_back(SampleConnection(at, device, *kind));
  return sample;
}

uint16_t OutputStore::Write(const PortEntry& port, const DeviceEntry& device, size_t offset,
                            const uint8_t* bytes, size_t size) {
  const ConnectionKind* kind = OutputKind(device);
  const uint16_t output_size = OutputSize(device);
  if (kind == nullptr || offset > output_size || size > output_size - offset)
    return kOutsideOutputs;
  const std::lock_guard lock(mutex_);
  Written& written = Entry(port, device);
  std::vector<uint8_t> next = written.bytes;
  std::copy_n(bytes, size, next.begin() + static_cast<std::ptrdiff_t>(offset));
  const DeviceAddress at = AddressOf(port, device);
  const uint16_t code = kind->write(at.board, at.port, at.mac, next.data(), output_size);
  if (code == DNM_NoError) written.bytes = std::move(next);
  return code;
}

std::vector<uint8_t> OutputStore::Last(const PortEntry& port, const DeviceEntry& device) const {
  const std::lock_guard lock(mutex_);
  const auto found = written_.find({port.board, port.port, device.mac});
  if (found == written_.end() || !SamePort(found->second.port, port) ||
      !found->second.device.SameAs(device))
    return std::vector<uint8_t>(OutputSize(device), 0);
  return found->second.bytes;
}

OutputStore::Written& OutputStore::Entry(const PortEntry& port, const DeviceEntry& device) {
  Written& written = written_[{port.board, port.port, device.mac}];
  if (!SamePort(written.port, port) || !written.device.SameAs(device) ||
      written.bytes.size() != OutputSize(device)) {
    const PortEntry bare{port.board, port.port, port.mac, port.baud_code, {}, port.line};
    written = {bare, device, std::vector<uint8_t>(OutputSize(device), 0)};
  }
  return written;
}

}  // namespace dnm::tool
