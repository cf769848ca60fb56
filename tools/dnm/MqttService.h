// The MQTT publisher of dnm run: each device's state, inputs and counters and the scanner's own
// state, published to an existing broker (docs/dnm.1.md, "MQTT"). It never holds up the scan:
// what cannot be published is counted.
#pragma once

#include <memory>
#include <string>

#include "DeviceSample.h"
#include "Scanner.h"

namespace dnm::tool {

struct MqttOptions {
  std::string url;          // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  std::string prefix;       // empty: dnm/HOSTNAME/PORT
  int min_interval_ms = 100;  // between two publications of one device's inputs
  bool write = false;       // --mqtt-write: .../outputs/set writes a device's outputs
  std::string ca_file;      // mqtts: the broker's certificate authority
  std::string cert_file;    // mqtts: the client's certificate and key
  std::string key_file;
  std::string user;
  std::string password_file;  // the password, read from a file so that ps does not show it
};

class MqttService {
 public:
  // Connects in the background and publishes on threads of its own until destroyed. UsageError
  // for options that are not valid; std::runtime_error saying why when it cannot start or this
  // build has no MQTT.
  static std::unique_ptr<MqttService> Start(const MqttOptions& options, Scanner& scanner,
                                            OutputStore& outputs);
  virtual ~MqttService() = default;  // publishes the scanner's stop and disconnects
};

}  // namespace dnm::tool
