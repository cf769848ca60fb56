// What dnm run's MQTT publisher reads from outside and names: the broker's URL, the topics'
// prefix, the topics of a device and the payload of a write to its outputs. No broker needed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ScanList.h"
#include "Values.h"

namespace dnm::tool {

struct BrokerAddress {
  bool tls = false;
  std::string host;
  int port = 0;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883), HOST a name, an IPv4 address or an
// [IPv6] one, PORT decimal digits, no user before HOST, nothing after the port; UsageError
// otherwise.
BrokerAddress ParseBrokerUrl(const std::string& url);

// The prefix, judged (UsageError for an empty one, one with '+', '#' or NUL, one starting with
// '$', or with an empty level); empty: dnm/HOST/B-P, B-P the first port of the list ("dnm/HOST" without ports).
std::string TopicPrefix(const std::string& prefix, const std::string& host, const ScanList& list);

// "0-1": board 0, port 1, as the topics name a port.
std::string PortName(const PortEntry& port);
// PREFIX/port/B-P and PREFIX/port/B-P/device/MAC.
std::string PortTopic(const std::string& prefix, const PortEntry& port);
std::string DeviceTopic(const std::string& prefix, const PortEntry& port, uint8_t mac);
// The filter of every device's outputs/set topic.
std::string OutputsSetFilter(const std::string& prefix);

// The port and device of an outputs/set topic in the list; a null device when it names none.
struct TopicDevice {
  const PortEntry* port = nullptr;
  const DeviceEntry* device = nullptr;
};
TopicDevice DeviceOfOutputsSet(const std::string& prefix, std::string_view topic,
                               const ScanList& list);

// The bytes of an outputs/set payload, {"hex":"0a1b"} or {"bytes":[10,27]}, that must be size
// bytes; error says why not (then bytes is empty).
struct OutputsRequest {
  std::vector<uint8_t> bytes;
  std::string error;
};
OutputsRequest ParseOutputsRequest(std::string_view payload, size_t size);

// [10,27]
std::string JsonByteList(const std::vector<uint8_t>& bytes);

}  // namespace dnm::tool
