// dnm status: a scan list's connections, their status and counters, and
// for each polled device the poll period asked for and the one achieved.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Commands.h"
#include "Connections.h"
#include "Diagnosis.h"
#include "Explain.h"

namespace dnm::tool {
namespace {

// Polls a second asked of every polled device: the library's rate at load.
constexpr uint16_t kPollHz = 10;

// The words of a scan list file, without its comments.
std::vector<std::string> WordsOfFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read scan list file " + path);
  std::vector<std::string> words;
  for (std::string text; std::getline(in, text);) {
    std::istringstream line(text.substr(0, text.find('#')));
    for (std::string word; line >> word;) words.push_back(word);
  }
  return words;
}

std::vector<DeviceSpec> ScanListOf(const CommandLine& line) {
  std::vector<std::string> words = line.words;
  if (line.Has("--file")) {
    const std::vector<std::string> more = WordsOfFile(line.options.at("--file")[0]);
    words.insert(words.end(), more.begin(), more.end());
  }
  if (words.empty()) throw UsageError("missing DEVICE or --file");
  std::vector<DeviceSpec> devices;
  for (const std::string& word : words) devices.push_back(ParseDeviceSpec(word));
  return devices;
}

// The kinds of connection the device has: explicit first.
std::vector<const ConnectionKind*> KindsOf(const DeviceSpec& device) {
  std::vector<const ConnectionKind*> kinds{&KindOf(Kind::kExplicit)};
  for (const ConnectionSpec& spec : device.connections) kinds.push_back(&KindOf(spec.kind));
  return kinds;
}

uint32_t PollPeriodAchieved(const Session& session, uint8_t mac) {
  return api().DNM_GetPollPeriodAchieved(session.board(), session.port(), mac);
}

// True when every connection stands and every polled device has been
// polled often enough to tell its achieved period.
bool AllStand(const Session& session, const std::vector<DeviceSpec>& devices) {
  for (const DeviceSpec& device : devices) {
    for (const ConnectionKind* kind : KindsOf(device)) {
      if (kind->check(session.board(), session.port(), device.mac) != DNM_NoError) return false;
      if (kind->kind == Kind::kPoll && PollPeriodAchieved(session, device.mac) == 0) return false;
    }
  }
  return true;
}

// The poll period asked for and the one achieved (0 while not measured),
// as the end of a poll line or as members of a device's JSON object.
std::string PollPeriods(const Session& session, uint8_t mac, uint32_t asked_ms, bool json) {
  const std::string asked = std::to_string(asked_ms);
  const std::string achieved = std::to_string(PollPeriodAchieved(session, mac));
  if (json) return ",\"poll_period_ms\":{\"asked\":" + asked + ",\"achieved\":" + achieved + "}";
  return "; period asked " + asked + " ms, achieved " + achieved + " ms";
}

// Every device's connections as text lines, or as the members of the JSON document; all_stand
// tells whether every connection stood.
std::string Report(const Session& session, const std::vector<DeviceSpec>& devices,
                   uint32_t asked_ms, bool json, bool& all_stand) {
  all_stand = true;
  std::string report;
  for (const DeviceSpec& device : devices) {
    std::string connections;
    std::string periods;
    if (!json) report += "MAC ID " + std::to_string(device.mac) + "\n";
    for (const ConnectionKind* kind : KindsOf(device)) {
      const ConnectionState state = StateOf(session, device.mac, *kind);
      all_stand = all_stand && state.status == DNM_NoError;
      const std::string period =
          kind->kind == Kind::kPoll ? PollPeriods(session, device.mac, asked_ms, json) : "";
      if (json) {
        connections += (connections.empty() ? "" : ",") + StateJson(*kind, state);
        periods += period;
      } else {
        report += "  " + StateText(*kind, state) + period + "\n";
      }
    }
    if (json) {
      report += std::string(report.empty() ? "" : ",") + "{\"mac\":" + std::to_string(device.mac) +
                periods + ",\"connections\":[" + connections + "]}";
    }
  }
  return json ? "\"devices\":[" + report + "]" : report;
}

// The connections that do not stand, and for each device without its explicit connection what
// to check.
std::string Failures(const Session& session, const std::vector<DeviceSpec>& devices) {
  std::string standing_not;
  std::string diagnoses;
  for (const DeviceSpec& device : devices) {
    for (const ConnectionKind* kind : KindsOf(device)) {
      if (kind->check(session.board(), session.port(), device.mac) == DNM_NoError) continue;
      const std::string why = SetupFailureWords(SetupFailureOf(session, device.mac, *kind));
      standing_not += (standing_not.empty() ? "" : ", ") + std::string("MAC ID ") +
                      std::to_string(device.mac) + " " + kind->name +
                      (why.empty() ? "" : " (" + why + ")");
      if (kind->kind != Kind::kExplicit) continue;
      const Diagnosis diagnosis = DiagnoseDevice(session, device.mac);
      if (diagnosis.cause.empty()) continue;
      diagnoses += "\nMAC ID " + std::to_string(device.mac) + ": " + diagnosis.cause +
                   (diagnosis.hint.empty() ? "" : "\nhint: " + diagnosis.hint);
    }
  }
  return "not every connection stands: " + standing_not + diagnoses;
}

}  // namespace

int RunStatus(const CommandLine& line) {
  const std::vector<DeviceSpec> devices = ScanListOf(line);
  const Session session(line.common);
  for (const DeviceSpec& device : devices) {
    session.AddDevice(device.mac);
    for (const ConnectionSpec& spec : device.connections) Configure(session, device.mac, spec);
  }
  const uint32_t asked_ms = 1000 / api().DNM_SetPollFrequency(kPollHz);
  DNM_CHECKED(session, -1, DNM_StartCommunicate, session.board(), session.port());
  session.WaitUntil([&] { return AllStand(session, devices); }, "the connections to stand");
  const bool json = line.common.json;
  bool all_stand = true;
  const std::string report = Report(session, devices, asked_ms, json, all_stand);
  const std::string failures = all_stand ? "" : Failures(session, devices);
  if (json) {
    std::printf(
        "{%s%s}\n", report.c_str(),
        all_stand ? "" : (",\"error\":" + ErrorJson(nullptr, failures, kExitFailed)).c_str());
  } else {
    std::printf("%s", report.c_str());
  }
  if (all_stand) return kExitOk;
  std::fprintf(stderr, "dnm status: %s\n", failures.c_str());
  return kExitFailed;
}

}  // namespace dnm::tool
