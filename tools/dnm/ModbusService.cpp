#include "ModbusService.h"

#include <stdexcept>

namespace dnm::tool {

std::unique_ptr<ModbusService> ModbusService::Start(const std::string&, const ScannerView&) {
  throw std::runtime_error("this dnm was built without Modbus TCP");
}

std::string RegisterMapText(const ScanList&, bool) { return {}; }

}  // namespace dnm::tool
