#include "netmgmt/ReleaseSets.h"

#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitConnection.h"
#include "device/ExplicitExchange.h"
#include "device/RequestTurn.h"
#include "io/SetupServices.h"
#include "port/CANPort.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

// The requests that free the device's whole set on its route: the release,
// and for a device reached through UCMM also the close of its explicit
// connection, after the set allocated over it.
std::vector<ExchangeSpec> ReleasesOf(const CANPort& port, const Device_Info& device) {
  if (!device.ucmm()) return {ReleaseSpec(port, device)};
  return {ReleaseUcmmSpec(port, device), CloseUcmmSpec(port, device)};
}

// Sends the device's releases; the key of the last answer, the one to wait
// for, when all went out. The key is the one an exchange matches.
bool SendReleases(CANPort& port, Device_Info& device, FrameKey& last_answer) {
  for (const ExchangeSpec& release : ReleasesOf(port, device)) {
    Trace("%s Board %d  Port %d  ConnectionID %x ready to send", release.name, port.board_number(),
          port.port_number(), release.request.id);
    if (port.SendLocked(release.request.id, release.request.len, release.request.data) != 0) {
      return false;
    }
    last_answer =
        FrameKey::Data(release.response_id, uint8_t(kXid | port.mac_id()), release.success_service);
  }
  return true;
}

bool AwaitAnswer(Device_Info& device, const FrameKey& key, uint32_t start) {
  MsgBuffer* buffer = device.buffer(kExplicit);
  const uint32_t spent = platform::GetTickCount() - start;
  if (buffer == nullptr || spent >= ReleasedSets::kAnswerWaitMs) return false;
  const uint32_t left = ReleasedSets::kAnswerWaitMs - spent;
  ResponseWait waiting(*buffer, left, left, nullptr);
  CANMsg answer{};
  while (waiting.NextPass()) {
    if (buffer->GetMsg(answer, key) == 0) return true;
  }
  return false;
}

}  // namespace

// The turns are waited for together: a request in progress ends within its
// own limit, all of them at the same time. A device whose turn does not come
// in time is released all the same; only its late answer may then go to the
// request in progress, which does not wait for a release's answer.
ReleasedSets::ReleasedSets(CANPort& port, uint32_t turn_wait_ms) : port_(port) {
  const uint32_t start = platform::GetTickCount();
  for (uint8_t mac = 0; mac < 64; ++mac) {
    Device_Info* device = port.device(mac);
    if (device == nullptr || !port.IsStarted(mac) || !device->Has(kChoiceExplicit)) continue;
    const uint32_t spent = platform::GetTickCount() - start;
    auto turn = std::make_unique<RequestTurn>(
        *device, spent < turn_wait_ms ? turn_wait_ms - spent : 0, nullptr);
    const bool on_bus = device->status(kExplicit) == kStatusEstablished ||
                        device->MsSinceAnswer() < kRecentAnswerMs;
    held_.push_back({device, on_bus, std::move(turn)});
  }
}

ReleasedSets::~ReleasedSets() = default;

void ReleasedSets::Release() {
  std::vector<std::pair<Device_Info*, FrameKey>> awaited;
  for (const Held& held : held_) {
    FrameKey answer{};
    if (SendReleases(port_, *held.device, answer) && held.on_bus) {
      awaited.emplace_back(held.device, answer);
    }
  }
  const uint32_t start = platform::GetTickCount();
  for (auto& [device, answer] : awaited) {
    if (!AwaitAnswer(*device, answer, start)) {
      Trace("ReleaseConnection( )   DesMACID %d  no answer", device->mac());
    }
  }
  for (const Held& held : held_) {
    held.device->NewConnectionSet();
    held.device->set_status(kExplicit, kStatusNotEstablished);
  }
}

}  // namespace dnm
