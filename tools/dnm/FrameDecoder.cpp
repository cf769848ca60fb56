#include "FrameDecoder.h"

#include <cstdio>

namespace dnm::tool {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFragmentFlag = 0x80;
constexpr uint8_t kMacMask = 0x3F;
constexpr uint8_t kReplyFlag = 0x80;
constexpr uint8_t kErrorResponse = 0x14;
constexpr uint8_t kGet = 0x0E;
constexpr uint8_t kSet = 0x10;
constexpr uint8_t kAllocate = 0x4B;
constexpr uint8_t kRelease = 0x4C;

std::string Hex(unsigned value, int digits = 2) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string Bytes_(size_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

uint32_t Little(const Bytes& data, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = (value << 8) | (at + i < data.size() ? data[at + i] : 0);
  return value;
}

// Services by the message they travel in: on the unconnected ports 0x4B and 0x4C open and close.
std::string ServiceName(uint8_t service, bool ucmm) {
  switch (service) {
    case 0x01:
      return "Get_Attributes_All";
    case 0x05:
      return "Reset";
    case kGet:
      return "Get_Attribute_Single";
    case kSet:
      return "Set_Attribute_Single";
    case kErrorResponse:
      return "Error_Response";
    case kAllocate:
      return ucmm ? "Open_Explicit_Connection" : "Allocate_Master/Slave_Connection_Set";
    case kRelease:
      return ucmm ? "Close_Connection" : "Release_Master/Slave_Connection_Set";
    default:
      return "service " + Hex(service);
  }
}

// A request body after the header byte: service, class, instance, then attribute or arguments
// (8-bit class and instance, the format of the predefined connection set).
std::string RequestText(const Bytes& body, bool ucmm) {
  if (body.empty()) return "empty request";
  const uint8_t service = body[0] & 0x7F;
  std::string text = ServiceName(service, ucmm);
  if (ucmm && service == kAllocate && body.size() >= 3) {
    return text + " body format " + std::to_string(body[1]) + ", group " +
           std::to_string(body[2] >> 4) + " message " + std::to_string(body[2] & 0x0F);
  }
  if (ucmm && service == kRelease && body.size() >= 3) {
    return text + " instance " + std::to_string(Little(body, 1, 2));
  }
  if (body.size() >= 3) {
    text += " class " + Hex(body[1]) + " instance " + std::to_string(body[2]);
  }
  if ((service == kGet || service == kSet) && body.size() >= 4) {
    text += " attribute " + std::to_string(body[3]);
    if (service == kSet) text += ", " + Bytes_(body.size() - 4);
  }
  if ((service == kAllocate || service == kRelease) && body.size() >= 4) {
    text += " choice " + Hex(body[3]);
    if (service == kAllocate && body.size() >= 5) text += " by " + std::to_string(body[4]);
  }
  return text;
}

std::string ResponseText(const Bytes& body, bool ucmm) {
  if (body.empty()) return "empty response";
  const uint8_t service = body[0] & 0x7F;
  if (service == kErrorResponse) {
    return "Error_Response general status " + Hex(body.size() > 1 ? body[1] : 0) + ", additional " +
           Hex(body.size() > 2 ? body[2] : 0);
  }
  return ServiceName(service, ucmm) + " response, " + Bytes_(body.size() - 1);
}

// A fragment of an explicit message: byte 1 holds the fragment type and count.
std::string FragmentText(const Bytes& data, bool response) {
  if (data.size() < 2) return "fragment without fragment byte";
  const int type = data[1] >> 6;
  const int count = data[1] & 0x3F;
  if (type == 3) {
    return "fragment acknowledgement " + std::to_string(count) + ", status " +
           Hex(data.size() > 2 ? data[2] : 0);
  }
  static const char* const kTypes[] = {"first", "middle", "last"};
  std::string text = std::string(response ? "response" : "request") + " fragment " +
                     std::to_string(count) + " (" + kTypes[type] + "), " + Bytes_(data.size() - 2);
  if (type == 0 && data.size() > 2) {
    const Bytes body(data.begin() + 2, data.end());
    text += ": " + (response ? ResponseText(body, false) : RequestText(body, false));
  }
  return text;
}

// An explicit or unconnected message. The header byte names the other end: the source when the
// identifier carries the destination (group 2 requests), else the destination.
std::string ExplicitText(const Bytes& data, bool response, bool ucmm, bool header_is_source) {
  const std::string lead = std::string("explicit ") + (response ? "response" : "request");
  if (data.empty()) return lead + ", empty";
  const std::string other =
      (header_is_source ? " from " : " to ") + std::to_string(data[0] & kMacMask) + ": ";
  if ((data[0] & kFragmentFlag) != 0) return lead + other + FragmentText(data, response);
  const Bytes body(data.begin() + 1, data.end());
  return lead + other + (response ? ResponseText(body, ucmm) : RequestText(body, ucmm));
}

std::string DupMacText(const Bytes& data) {
  const bool response = !data.empty() && (data[0] & 0x80) != 0;
  std::string text = std::string("duplicate MAC ID check ") + (response ? "response" : "request");
  if (data.size() >= 7) {
    text += ", vendor " + std::to_string(Little(data, 1, 2)) + " serial " +
            SerialNumberText(Little(data, 3, 4));
  }
  return text;
}

// The I/O messages of groups 1 and 2, each of one kind with a fixed text and its size.
struct IoMessage {
  int group;
  int message;
  const char* kind;
  const char* text;
  bool mac_is_source;
};
constexpr IoMessage kIoMessages[] = {
    {1, 12, "poll", "multicast poll response", true},
    {1, 13, "cos", "change of state / cyclic production", true},
    {1, 14, "strobe", "bit-strobe response", true},
    {1, 15, "poll", "poll response or acknowledgement of outputs", true},
    {2, 0, "strobe", "bit-strobe command", true},
    {2, 1, "poll", "multicast poll command", true},
    {2, 2, "cos", "acknowledgement of a production", false},
    {2, 5, "poll", "poll command or outputs", false},
};

// True when the frame is one of kIoMessages (out then says which).
bool IoMessageOf(DecodedFrame& out, const Bytes& data) {
  for (const IoMessage& io : kIoMessages) {
    if (io.group != out.group || io.message != out.message) continue;
    out.kind = io.kind;
    out.mac_is_source = io.mac_is_source;
    out.text = std::string(io.text) + ", " + Bytes_(data.size());
    return true;
  }
  return false;
}

void Group1(DecodedFrame& out, const Bytes& data) {
  if (IoMessageOf(out, data)) return;
  out.text = "group 1 message " + std::to_string(out.message) + ", " + Bytes_(data.size());
}

void Group2(DecodedFrame& out, const Bytes& data) {
  if (IoMessageOf(out, data)) return;
  switch (out.message) {
    case 3:
      out.kind = "explicit";
      out.text = ExplicitText(data, true, false, false);
      return;
    case 4:
    case 6:
      out.kind = "explicit";
      out.mac_is_source = false;
      out.text = ExplicitText(data, false, false, true);
      return;
    default:
      out.kind = "dupmac";
      out.text = DupMacText(data);
  }
}

void Group3(DecodedFrame& out, const Bytes& data) {
  out.kind = "explicit";
  if (out.message == 5 || out.message == 6) {
    out.text = "unconnected " + ExplicitText(data, out.message == 5, true, false);
    return;
  }
  // Connections opened through the unconnected port carry requests and answers alike; the
  // reply flag of the service byte tells which (fragments: the response direction is unknown).
  const bool response =
      data.size() > 1 && (data[0] & kFragmentFlag) == 0 && (data[1] & kReplyFlag) != 0;
  out.text = "connection message " + std::to_string(out.message) + ", " +
             ExplicitText(data, response, true, false);
}

// The offline connection set (0x7EC..0x7EF) of faulted nodes and their owners.
void Group4(DecodedFrame& out, uint32_t id, const Bytes& data) {
  out.kind = "offline";
  const uint8_t service = data.size() > 1 ? data[1] : 0;
  const std::string mac = std::to_string(data.empty() ? 0 : data[0] & kMacMask);
  switch (id) {
    case 0x7EC:
      out.text = "offline response: faulted node vendor " + std::to_string(Little(data, 1, 2)) +
                 " serial " + SerialNumberText(Little(data, 3, 4));
      return;
    case 0x7ED:
      if (service == 0x4D) {
        out.text = "offline request: change MAC ID to " + std::to_string(data[0]) + " of vendor " +
                   std::to_string(Little(data, 2, 2)) + " serial " +
                   SerialNumberText(Little(data, 4, 4));
      } else {
        out.text = std::string("offline request: ") + (service == 0x4C ? "check" : "list") +
                   " faulted nodes";
      }
      return;
    case 0x7EE:
      out.text = "offline ownership objection by " + std::to_string(service & kMacMask);
      return;
    case 0x7EF:
      out.text = service == 0xCB ? "offline ownership objection by " + mac
                                 : "offline ownership request by " + mac;
      return;
    default:
      out.kind = "other";
      out.text = "group 4 message " + std::to_string(out.message);
  }
}

}  // namespace

std::string SerialNumberText(uint32_t serial) {
  return std::to_string(serial) + " (" + Hex(serial, 8) + ")";
}

DecodedFrame DecodeFrame(uint32_t id, const std::vector<uint8_t>& data, bool rtr) {
  DecodedFrame out;
  const auto address = [&](int group, uint32_t message, int mac) {
    out.group = group;
    out.message = static_cast<int>(message);
    out.mac = mac;
  };
  if (id < 0x400) {
    address(1, id >> 6, static_cast<int>(id & 0x3F));
    Group1(out, data);
  } else if (id < 0x600) {
    address(2, id & 7, static_cast<int>((id >> 3) & 0x3F));
    Group2(out, data);
  } else if (id < 0x7C0) {
    address(3, (id >> 6) & 7, static_cast<int>(id & 0x3F));
    Group3(out, data);
  } else if (id < 0x7F0) {
    address(4, id & 0x3F, -1);
    Group4(out, id, data);
  } else {
    out.text = "invalid identifier";
  }
  if (rtr) out.text += " (remote frame)";
  return out;
}

}  // namespace dnm::tool
