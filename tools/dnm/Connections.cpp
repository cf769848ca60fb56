#include "Connections.h"

#include "CommandLine.h"
#include "Explain.h"
#include "Json.h"
#include "Values.h"

namespace dnm::tool {
namespace {

// Expected packet rates (ms): the heartbeat of a change-of-state connection
// and the period of a cyclic one.
constexpr uint16_t kCosHeartbeatMs = 2500;
constexpr uint16_t kCyclicPeriodMs = 1000;
constexpr uint16_t kMaxIoSize = 64;
constexpr uint16_t kMaxStrobeInput = 8;

std::vector<ConnectionKind> MakeKinds() {
  const Api& a = api();
  const std::vector<Counter> explicit_counters = {
      {"no response", a.DNM_GetExplicitMsgNoResponse},
      {"error response", a.DNM_GetExplicitMsgErrorResponse}};
  const std::vector<Counter> poll_counters = {{"no response", a.DNM_GetPollNoResponse},
                                              {"error response", a.DNM_GetPollErrorResponse},
                                              {"fragment error", a.DNM_GetPollFragmentError},
                                              {"send error", a.DNM_GetPollSendError}};
  const std::vector<Counter> cos_counters = {
      {"no input", a.DNM_GetCOS_CyclicWithPollNoResponse},
      {"wrong length", a.DNM_GetCOS_CyclicWithPollErrorResponse},
      {"fragment error", a.DNM_GetCOS_CyclicWithPollFragmentError},
      {"ack send error", a.DNM_GetCOS_CyclicWithPollSendError},
      {"output send error", a.DNM_GetCOS_CyclicWithoutPollSendError},
      {"output not acknowledged", a.DNM_GetCOS_CyclicWithoutPollACKNoResponse}};
  return {
      {Kind::kExplicit, "explicit", 0, 0, "DNM_CheckExplicitMsgConnectionStatus",
       a.DNM_CheckExplicitMsgConnectionStatus, nullptr, nullptr, nullptr, explicit_counters},
      {Kind::kPoll, "poll", 2, kMaxIoSize, "DNM_CheckPollConnectionStatus",
       a.DNM_CheckPollConnectionStatus, a.DNM_ReadPollInputData, a.DNM_WritePollOutputData,
       "DNM_WritePollOutputData", poll_counters},
      {Kind::kStrobe,
       "strobe",
       1,
       kMaxStrobeInput,
       "DNM_CheckBitStrobeConnectionStatus",
       a.DNM_CheckBitStrobeConnectionStatus,
       a.DNM_ReadBitStrobe,
       nullptr,
       nullptr,
       {{"no response", a.DNM_GetBitStrobeNoResponse}}},
      {Kind::kCos, "cos", 2, kMaxIoSize, "DNM_CheckCOSConnectionStatus",
       a.DNM_CheckCOSConnectionStatus, a.DNM_ReadCOSInputData, a.DNM_WriteCOSOutputData,
       "DNM_WriteCOSOutputData", cos_counters},
      {Kind::kCyclic, "cyclic", 2, kMaxIoSize, "DNM_CheckCyclicConnectionStatus",
       a.DNM_CheckCyclicConnectionStatus, a.DNM_ReadCyclicInputData, a.DNM_WriteCyclicOutputData,
       "DNM_WriteCyclicOutputData", cos_counters},
  };
}

const std::vector<ConnectionKind>& Kinds() {
  static const std::vector<ConnectionKind> kinds = MakeKinds();
  return kinds;
}

}  // namespace

ConnectionSpec MakeSpec(const ConnectionKind& kind, const std::vector<std::string>& sizes) {
  if (sizes.size() != static_cast<size_t>(kind.sizes)) {
    throw UsageError(std::string(kind.name) + " takes " +
                     (kind.sizes == 2 ? "an input and an output size" : "an input size"));
  }
  ConnectionSpec spec{kind.kind};
  spec.input = static_cast<uint16_t>(ParseNumber(sizes[0], 0, kind.max_input, "input size"));
  if (kind.sizes == 2) {
    spec.output = static_cast<uint16_t>(ParseNumber(sizes[1], 0, kMaxIoSize, "output size"));
  }
  return spec;
}

const ConnectionKind& KindOf(Kind kind) {
  return Kinds()[static_cast<size_t>(kind)];
}

const ConnectionKind* IoKindNamed(const std::string& name) {
  for (const ConnectionKind& kind : Kinds()) {
    if (kind.kind != Kind::kExplicit && name == kind.name) return &kind;
  }
  return nullptr;
}

void Configure(const Session& session, uint8_t mac, const ConnectionSpec& spec) {
  const uint8_t b = session.board();
  const uint8_t p = session.port();
  switch (spec.kind) {
    case Kind::kPoll:
      DNM_CHECKED(session, mac, DNM_ConfigPoll, b, p, mac, spec.input, spec.output, 0, 0);
      break;
    case Kind::kStrobe:
      DNM_CHECKED(session, mac, DNM_ConfigBitStrobe, b, p, mac, spec.input, 0, 0);
      break;
    case Kind::kCos:
      DNM_CHECKED(session, mac, DNM_ConfigCOS, b, p, mac, spec.input, spec.output, 0,
                  kCosHeartbeatMs, 0);
      break;
    case Kind::kCyclic:
      DNM_CHECKED(session, mac, DNM_ConfigCyclic, b, p, mac, spec.input, spec.output, 0,
                  kCyclicPeriodMs, 0);
      break;
    case Kind::kExplicit:
      break;  // every device added has it
  }
}

std::optional<std::vector<uint8_t>> ReadIdentityAttribute(uint8_t board, uint8_t port, uint8_t mac,
                                                          uint8_t attribute, std::string* why) {
  constexpr uint8_t kIdentityClass = 0x01;
  uint8_t value[255];
  uint32_t length = 0;
  const uint16_t code = api().DNM_GetAttributeEx(board, port, mac, kIdentityClass, 1, attribute,
                                                 value, sizeof value, &length);
  if (code == DNM_NoError) return std::vector<uint8_t>(value, value + length);
  if (why)
    *why = "DNM_GetAttributeEx gave " + std::to_string(code) + " " + api().DNM_GetErrorText(code);
  return std::nullopt;
}

std::optional<uint32_t> ReadIdentityNumber(uint8_t board, uint8_t port, uint8_t mac,
                                           uint8_t attribute, size_t width, std::string* why) {
  const auto bytes = ReadIdentityAttribute(board, port, mac, attribute, why);
  if (!bytes) return std::nullopt;
  if (bytes->size() == width) return Little(*bytes);
  if (why) *why = std::to_string(bytes->size()) + " bytes answered";
  return std::nullopt;
}

Identity ReadIdentity(uint8_t board, uint8_t port, uint8_t mac,
                      const std::function<bool()>& go_on) {
  const auto number = [&](uint8_t attribute, size_t width) -> std::optional<uint32_t> {
    if (go_on && !go_on()) return std::nullopt;
    return ReadIdentityNumber(board, port, mac, attribute, width);
  };
  const auto bytes = [&](uint8_t attribute) -> std::optional<std::vector<uint8_t>> {
    if (go_on && !go_on()) return std::nullopt;
    return ReadIdentityAttribute(board, port, mac, attribute);
  };
  Identity identity{number(kVendorId, 2),
                    number(kDeviceType, 2),
                    number(kProductCode, 2),
                    number(kSerialNumber, 4),
                    {},
                    {}};
  if (const auto revision = bytes(kRevision); revision && revision->size() == 2)
    identity.revision = std::to_string((*revision)[0]) + "." + std::to_string((*revision)[1]);
  if (const auto name = bytes(kProductName)) ShortString(*name, identity.product_name);
  return identity;
}

DNM_SetupFailure SetupFailureAt(uint8_t board, uint8_t port, uint8_t mac,
                                const ConnectionKind& kind) {
  const uint8_t setup_kind = kind.kind == Kind::kCyclic
                                 ? static_cast<uint8_t>(DNM_ConnectionCOS_Cyclic)
                                 : static_cast<uint8_t>(kind.kind);
  DNM_SetupFailure failure{};
  if (api().DNM_GetSetupFailure(board, port, mac, setup_kind, &failure) != 0)
    return DNM_SetupFailure{};
  return failure;
}

DNM_SetupFailure SetupFailureOf(const Session& session, uint8_t mac, const ConnectionKind& kind) {
  return SetupFailureAt(session.board(), session.port(), mac, kind);
}

ConnectionState StateOf(const Session& session, uint8_t mac, const ConnectionKind& kind) {
  ConnectionState state{
      kind.check(session.board(), session.port(), mac), {}, SetupFailureOf(session, mac, kind)};
  for (const Counter& counter : kind.counters) {
    state.counters.push_back(counter.read(session.board(), session.port(), mac));
  }
  return state;
}

// A connection that does not stand leads with why it last failed, before the check's code in
// words, which may be a secondary one.
std::string StateText(const ConnectionKind& kind, const ConnectionState& state) {
  const std::string failure = SetupFailureWords(state.failure);
  const std::string words = ConnectionStatusWords(state.status);
  const bool cause_first = state.status != DNM_NoError && !failure.empty();
  std::string text = std::string(kind.name) + ": " +
                     (cause_first ? failure + " (now " + words + ")" : words) + ";";
  for (size_t i = 0; i < kind.counters.size(); ++i) {
    text += (i == 0 ? " " : ", ") + std::string(kind.counters[i].label) + " " +
            std::to_string(state.counters[i]);
  }
  return failure.empty() || cause_first ? text : text + "; last failure: " + failure;
}

std::string StateJson(const ConnectionKind& kind, const ConnectionState& state) {
  std::string json =
      "{\"connection\":" + JsonString(kind.name) + ",\"status\":" + std::to_string(state.status) +
      ",\"status_text\":" + JsonString(ConnectionStatusWords(state.status)) + ",\"counters\":{";
  for (size_t i = 0; i < kind.counters.size(); ++i) {
    json += (i == 0 ? "" : ",") + JsonString(JsonKey(kind.counters[i].label)) + ":" +
            std::to_string(state.counters[i]);
  }
  const std::string failure = SetupFailureWords(state.failure);
  json += "},\"setup_failure\":";
  if (failure.empty()) return json + "null}";
  return json + "{\"cause\":" + std::to_string(state.failure.cause) +
         ",\"text\":" + JsonString(failure) + "}}";
}

DeviceSpec ParseDeviceSpec(const std::string& text) {
  const size_t colon = text.find(':');
  DeviceSpec device{static_cast<uint8_t>(ParseNumber(text.substr(0, colon), 0, 63, "MAC ID")), {}};
  if (colon == std::string::npos) return device;
  for (const std::string& item : Split(text.substr(colon + 1), ",")) {
    const size_t equals = item.find('=');
    const ConnectionKind* kind = IoKindNamed(item.substr(0, equals));
    if (kind == nullptr || equals == std::string::npos) {
      throw UsageError("connection '" + item +
                       "' is not poll=IN/OUT, strobe=IN, cos=IN/OUT or "
                       "cyclic=IN/OUT");
    }
    device.connections.push_back(MakeSpec(*kind, Split(item.substr(equals + 1), "/")));
  }
  return device;
}

}  // namespace dnm::tool
