#include "PosixBackends.h"

#include "BridgeNode.h"
#include "ProcessNode.h"
#include "Segment.h"
#include "SharedPlace.h"
#include "SharedSegment.h"
#include "SharedSocket.h"
#include "SocketCanPort.h"

namespace vcan {

const char* PosixBackendsMissing() {
  return "";
}

std::shared_ptr<DriverPort> OpenSocketCanPort(const std::string& name, const std::string& iface,
                                              size_t rx_capacity,
                                              std::unique_ptr<Capture> capture) {
  return std::make_shared<SocketCanPort>(name, iface, KernelSocketCan(), rx_capacity,
                                         std::move(capture));
}

void StartProcessNode(std::string name, Segment& segment, uint32_t baud, std::string command,
                      std::string origin) {
  auto node = std::make_shared<ProcessNode>(std::move(name), segment, baud, std::move(command),
                                            std::move(origin));
  segment.Attach(node);
  node->Start();
}

Shared ShareSegmentAt(Segment& segment, const ShareRequest& request) {
  HostRule rule;
  if (!request.group.empty()) rule.access = SharedAccess::WithGroup(request.group);
  rule.may_host = request.may_host;
  rule.must_host = request.must_host;
  Shared shared{wire::SegmentPath(request.name), Shared::How::kAttached};
  if (ShareSegment(segment, shared.path, rule) != nullptr) {
    shared.how = Shared::How::kHosted;
  } else if (!segment.reachable()) {
    shared.how = Shared::How::kNoHost;
  }
  return shared;
}

void BridgeSegment(Segment& segment, const std::string& iface) {
  auto node = std::make_shared<BridgeNode>("socketcan@" + iface, segment, iface, KernelSocketCan());
  segment.Attach(node);
  node->Start();
}

}  // namespace vcan
