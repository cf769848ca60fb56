// dnm faulted: the faulted nodes of the network, and giving one a new MAC ID.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "Commands.h"
#include "FrameDecoder.h"
#include "Session.h"
#include "Values.h"

namespace dnm::tool {
namespace {

// Entries DNM_GetAllFaultNodeEx may fill: a port buffer's worth.
constexpr uint32_t kMaxFaultedNodes = 64;
// DNM_GetAllFaultNodeEx when no faulted node answered.
constexpr uint16_t kNoneAnswered = 3;

// The node to give a new MAC ID, as --readdress names it.
struct Readdressing {
  uint16_t vendor;
  uint32_t serial;
  uint8_t mac;
};

Readdressing ReaddressingOf(const std::vector<std::string>& values) {
  return {static_cast<uint16_t>(ParseNumber(values[0], 0, 0xFFFF, "vendor ID")),
          ParseNumber(values[1], 0, 0xFFFFFFFF, "serial number"),
          static_cast<uint8_t>(ParseNumber(values[2], 0, 63, "new MAC ID"))};
}

bool Answers(const Session& session, uint8_t mac) {
  std::vector<uint8_t> macs;
  session.AnsweringMacs(macs);
  return std::find(macs.begin(), macs.end(), mac) != macs.end();
}

std::optional<uint32_t> IdentityNumber(const Session& session, uint8_t mac, uint8_t attribute) {
  uint8_t value[8];
  uint32_t length = 0;
  if (api().DNM_GetAttributeEx(session.board(), session.port(), mac, 0x01, 1, attribute, value,
                               sizeof value, &length) != DNM_NoError) {
    return std::nullopt;
  }
  return Little(std::vector<uint8_t>(value, value + length));
}

// True when the node at its new MAC ID is the one with that vendor ID and
// serial number: it answers there, takes a connection and tells its identity.
bool TookTheMacId(const Session& session, const Readdressing& node) {
  if (!session.WaitUntil([&] { return Answers(session, node.mac); },
                         "a node to answer at MAC ID " + std::to_string(node.mac)))
    return false;
  session.Connect(node.mac);
  return IdentityNumber(session, node.mac, 1) == node.vendor &&
         IdentityNumber(session, node.mac, 6) == node.serial;
}

int Readdress(const Session& session, const Readdressing& node, bool json) {
  DNM_CHECKED(session, -1, DNM_ChangeFaultMACID, session.board(), session.port(), node.vendor,
              node.serial, node.mac);
  const std::string who =
      "vendor " + std::to_string(node.vendor) + " serial number " + SerialNumberText(node.serial);
  if (!TookTheMacId(session, node)) {
    throw CallError({"DNM_ChangeFaultMACID",
                     DNM_NoError,
                     "no node with " + who + " answered at MAC ID " + std::to_string(node.mac),
                     false,
                     0,
                     0,
                     {},
                     "'dnm faulted' lists the faulted nodes with their vendor IDs and serial "
                     "numbers; the new MAC ID must be free"});
  }
  if (json) {
    std::printf("{\"vendor_id\":%u,\"serial_number\":%u,\"new_mac\":%u,\"answered\":true}\n",
                unsigned{node.vendor}, node.serial, unsigned{node.mac});
  } else {
    std::printf("%s answers at MAC ID %u\n", who.c_str(), unsigned{node.mac});
  }
  return kExitOk;
}

int List(const Session& session, bool json) {
  uint16_t vendors[kMaxFaultedNodes] = {};
  uint32_t serials[kMaxFaultedNodes] = {};
  uint8_t count = 0;
  const uint16_t code = api().DNM_GetAllFaultNodeEx(session.board(), session.port(), vendors,
                                                    serials, kMaxFaultedNodes, &count);
  if (code == kNoneAnswered)
    count = 0;
  else
    session.Check("DNM_GetAllFaultNodeEx", code);
  std::string nodes;
  if (!json) std::printf(count == 0 ? "no faulted nodes\n" : "VENDOR  SERIAL\n");
  for (uint8_t i = 0; i < count; ++i) {
    if (json) {
      nodes += std::string(i == 0 ? "" : ",") + "{\"vendor_id\":" + std::to_string(vendors[i]) +
               ",\"serial_number\":" + std::to_string(serials[i]) + "}";
    } else {
      std::printf("%6u  %s\n", unsigned{vendors[i]}, SerialNumberText(serials[i]).c_str());
    }
  }
  if (json) std::printf("{\"faulted\":[%s]}\n", nodes.c_str());
  return kExitOk;
}

}  // namespace

int RunFaulted(const CommandLine& line) {
  ExpectWords(line, 0);
  const bool readdress = line.Has("--readdress");
  const Readdressing node =
      readdress ? ReaddressingOf(line.options.at("--readdress")) : Readdressing{0, 0, 0};
  const Session session(line.common);
  {
    const WaitNote note("taking ownership of the offline connection set");
    DNM_CHECKED(session, -1, DNM_GetOwnership, session.board(), session.port());
  }
  return readdress ? Readdress(session, node, line.common.json) : List(session, line.common.json);
}

}  // namespace dnm::tool
