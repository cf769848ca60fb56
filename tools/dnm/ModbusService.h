// The Modbus TCP server of dnm run: the process image of the devices the scanner runs, at the
// addresses of its register map (docs/dnm.1.md, "MODBUS TCP").
#pragma once

#include <memory>
#include <string>

#include "DeviceSample.h"
#include "ScannerView.h"

namespace dnm::tool {

class ModbusService {
 public:
  // Listens on address, "HOST:PORT" or ":PORT" (then on 127.0.0.1), and serves on threads of its
  // own until destroyed. UsageError for an address that is not one; std::runtime_error saying
  // why when it cannot listen or this build has no Modbus TCP.
  // Writes go through outputs, which the other servers share.
  static std::unique_ptr<ModbusService> Start(const std::string& address,
                                              const ScannerView& scanner, OutputStore& outputs);
  virtual ~ModbusService() = default;  // stops serving and closes every client's connection
};

// dnm run --print-map: the register map of the list, as text or as one JSON document.
std::string RegisterMapText(const ScanList& list, bool json);

}  // namespace dnm::tool
