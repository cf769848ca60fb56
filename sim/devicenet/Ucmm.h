// The UCMM of a UCMM-capable slave: masters open and close explicit messaging connections with
// requests on group 3 message 6 ([0x40 | slave MAC, service, ...] from identifier 0x780 + master
// MAC); answers go on group 3 message 5 of the slave (0x740 + slave MAC) with header 0x40 |
// master MAC.
//
// Open  [hdr, 0x4B, body format, group select << 4 | master's source message ID]
//   group select must be 3 and the source message ID 0..4: the master sends its requests on
//   group 3 message (source message ID) from its MAC, the slave answers on its group 3 message 0.
//   Answer [0x40 | master, 0xCB, 0x00 (body format: 8-bit class and instance),
//           source message ID << 4 | 0, instance (UINT, little-endian)].
//   Instances are numbered from 7, the lowest free one first, at most four connections. A master
//   opening again with the same source message ID gets its established connection back; one
//   that timed out is replaced.
// Close [hdr, 0x4C, instance (UINT, little-endian)] → [0x40 | master, 0xCC]; an instance that
//   is not open is an object that does not exist, another master's is a state conflict.
#pragma once

#include <map>
#include <memory>
#include <span>
#include <vector>

#include "ExplicitConnection.h"

namespace dnsim {

struct UcmmConnectionStatus {
  uint16_t instance = 0;
  uint8_t master = 0;
  ConnectionState state = ConnectionState::kNonExistent;
  uint16_t expected_packet_rate = 0;
  WatchdogAction watchdog_action = WatchdogAction::kAutoDelete;
};

class Ucmm {
 public:
  static constexpr uint16_t kFirstInstance = 7;
  static constexpr size_t kMaxConnections = 4;

  explicit Ucmm(SlaveContext& context) : context_(context) {}

  // A request on group 3 message 6 from master, naming this slave.
  void OnRequest(uint8_t master, std::span<const uint8_t> data);
  // A frame on a group 3 connection identifier; false when no connection takes it.
  bool Receive(uint32_t id, std::span<const uint8_t> data);
  // Forgets every connection, as after power-up.
  void CloseAll() { connections_.clear(); }

  Connection* Find(uint16_t instance);
  std::vector<UcmmConnectionStatus> Status() const;

 private:
  Bytes Open(uint8_t master, std::span<const uint8_t> request);
  Bytes Close(uint8_t master, std::span<const uint8_t> request);
  void OnWatchdogEnd(ExplicitConnection& connection);
  ExplicitConnection* FindByConsumedId(uint32_t id);
  uint16_t FreeInstance() const;
  void Answer(uint8_t master, const Bytes& body);

  SlaveContext& context_;
  std::map<uint16_t, std::unique_ptr<ExplicitConnection>> connections_;
};

}  // namespace dnsim
