#include "netmgmt/ReleaseSets.h"

#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitExchange.h"
#include "device/ExplicitRoute.h"
#include "device/RequestTurn.h"
#include "port/CANPort.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

// The request that frees the device's whole set on its route, and the key of
// its answer. A device reached through UCMM has its explicit connection
// closed; the set allocated over it is released first.
struct Release {
  const char* name;
  CANMsg request;
  FrameKey answer;
};

std::vector<Release> ReleasesOf(const CANPort& port, const Device_Info& device) {
  const uint8_t s = port.mac_id();
  const uint8_t m = device.mac();
  const uint8_t choice = device.allocate_choice();
  const uint8_t reply = kRelease | kReply;
  if (!device.ucmm()) {
    return {
        {"ReleaseConnection( )",
         RequestFrame(Group2Id(m, 6), {uint8_t(kXid | s), kRelease, kDeviceNetClass, 1, choice}),
         FrameKey::Data(Group2Id(m, 3), uint8_t(kXid | s), reply)}};
  }
  const ExplicitRoute route = ExplicitRoute::For(s, m, true);
  const uint8_t instance = device.ucmm_instance() & 0xFF;
  return {{"ReleaseConnection_UCMM( )",
           RequestFrame(route.request_id,
                        {uint8_t(kXid | route.request_mac), kRelease, kDeviceNetClass, 1, choice}),
           FrameKey::Data(route.response_id, uint8_t(kXid | route.response_mac), reply)},
          {"ThreadCloseExplicitUCMM( )",
           RequestFrame(Group3Id(6, s), {uint8_t(kXid | m), kRelease, instance, 0x00}),
           FrameKey::Data(Group3Id(5, m), uint8_t(kXid | s), reply)}};
}

// Sends the device's releases; the key of the last answer, the one to wait
// for, when all went out.
bool SendReleases(CANPort& port, Device_Info& device, FrameKey& last_answer) {
  for (const Release& release : ReleasesOf(port, device)) {
    Trace("%s Board %d  Port %d  ConnectionID %x ready to send", release.name, port.board_number(),
          port.port_number(), release.request.id);
    if (port.SendLocked(release.request.id, release.request.len, release.request.data) != 0) {
      return false;
    }
    last_answer = release.answer;
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
    macs_.push_back(mac);
    turns_.push_back(std::make_unique<RequestTurn>(
        *device, spent < turn_wait_ms ? turn_wait_ms - spent : 0, nullptr));
    connected_.push_back(device->status(kExplicit) == kStatusEstablished);
  }
}

ReleasedSets::~ReleasedSets() = default;

void ReleasedSets::Release() {
  std::vector<std::pair<Device_Info*, FrameKey>> awaited;
  for (size_t i = 0; i < macs_.size(); ++i) {
    Device_Info* device = port_.device(macs_[i]);
    FrameKey answer{};
    if (device != nullptr && SendReleases(port_, *device, answer) && connected_[i]) {
      awaited.emplace_back(device, answer);
    }
  }
  const uint32_t start = platform::GetTickCount();
  for (auto& [device, answer] : awaited) {
    if (!AwaitAnswer(*device, answer, start)) {
      Trace("ReleaseConnection( )   DesMACID %d  no answer", device->mac());
    }
  }
  for (const uint8_t mac : macs_) {
    if (Device_Info* device = port_.device(mac)) {
      device->set_status(kExplicit, kStatusNotEstablished);
    }
  }
}

}  // namespace dnm
