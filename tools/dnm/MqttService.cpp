#include "MqttService.h"

#include <stdexcept>

namespace dnm::tool {

std::unique_ptr<MqttService> MqttService::Start(const MqttOptions&, Scanner&, OutputStore&) {
  throw std::runtime_error("MQTT is not built yet");
}

}  // namespace dnm::tool
