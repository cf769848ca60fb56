#include "netmgmt/ReleaseSets.h"

#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitConnection.h"
#include "device/ExplicitExchange.h"
#include "device/RequestTurn.h"
#include "io/SetupServices.h"
#include "port/CANPort.h"
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

// Sends the device's releases; the answers they may bring, of those sent.
std::vector<PendingAnswer> SendReleases(CANPort& port, Device_Info& device) {
  std::vector<PendingAnswer> pending;
  for (const ExchangeSpec& release : ReleasesOf(port, device)) {
    Trace("%s Board %d  Port %d  ConnectionID %x ready to send", release.name, port.board_number(),
          port.port_number(), release.request.id);
    if (port.SendLocked(release.request.id, release.request.len, release.request.data) != 0) break;
    pending.push_back(PendingAnswerOf(release, port.mac_id()));
  }
  return pending;
}

// The earlier of two ticks, both ahead of now.
uint32_t EarlierTick(uint32_t a, uint32_t b) {
  const uint32_t now = platform::GetTickCount();
  return a - now < b - now ? a : b;
}

}  // namespace

// The turns are waited for together: a request in progress ends within its
// own limit, all of them at the same time. A device whose turn does not come
// in time is released all the same; only its late answer may then go to the
// request in progress, which does not wait for a release's answer.
ReleasedSets::ReleasedSets(CANPort& port, uint32_t turn_wait_ms, int only_mac) : port_(port) {
  const uint32_t start = platform::GetTickCount();
  for (uint8_t mac = 0; mac < 64; ++mac) {
    if (only_mac >= 0 && mac != only_mac) continue;
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
  std::vector<std::vector<PendingAnswer>> pending;
  for (const Held& held : held_) pending.push_back(SendReleases(port_, *held.device));
  const uint32_t end = platform::GetTickCount() + kAnswerWaitMs;
  for (size_t i = 0; i < held_.size(); ++i) {
    Device_Info& device = *held_[i].device;
    for (const PendingAnswer& answer : pending[i]) {
      // An answer not awaited here, or late, is let pass by the device's next request.
      if (held_[i].on_bus && AwaitPendingAnswer(device, answer, EarlierTick(answer.due_tick, end),
                                                nullptr)) {
        continue;
      }
      if (held_[i].on_bus) Trace("%s   DesMACID %d  no answer", answer.name, device.mac());
      if (held_[i].turn->held()) device.turn().LeavePending(answer);
    }
    device.NewConnectionSet();
    device.set_status(kExplicit, kStatusNotEstablished);
  }
}

}  // namespace dnm
