// dnm status: a scan list's connections, their status and counters.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Commands.h"
#include "Connections.h"

namespace dnm::tool {
namespace {

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

bool AllStand(const Session& session, const std::vector<DeviceSpec>& devices) {
  for (const DeviceSpec& device : devices) {
    for (const ConnectionKind* kind : KindsOf(device)) {
      if (kind->check(session.board(), session.port(), device.mac) != DNM_NoError) return false;
    }
  }
  return true;
}

// Prints every device's connections; returns whether all stand.
bool Report(const Session& session, const std::vector<DeviceSpec>& devices, bool json) {
  bool all_stand = true;
  std::string json_devices;
  for (const DeviceSpec& device : devices) {
    std::string json_connections;
    if (!json) std::printf("MAC ID %u\n", unsigned{device.mac});
    for (const ConnectionKind* kind : KindsOf(device)) {
      const ConnectionState state = StateOf(session, device.mac, *kind);
      all_stand = all_stand && state.status == DNM_NoError;
      if (json) {
        json_connections += (json_connections.empty() ? "" : ",") + StateJson(*kind, state);
      } else {
        std::printf("  %s\n", StateText(*kind, state).c_str());
      }
    }
    json_devices += std::string(json_devices.empty() ? "" : ",") +
                    "{\"mac\":" + std::to_string(device.mac) + ",\"connections\":[" +
                    json_connections + "]}";
  }
  if (json) std::printf("{\"devices\":[%s]}\n", json_devices.c_str());
  return all_stand;
}

}  // namespace

int RunStatus(const CommandLine& line) {
  const std::vector<DeviceSpec> devices = ScanListOf(line);
  const Session session(line.common);
  for (const DeviceSpec& device : devices) {
    session.AddDevice(device.mac);
    for (const ConnectionSpec& spec : device.connections) Configure(session, device.mac, spec);
  }
  DNM_CHECKED(session, -1, DNM_StartCommunicate, session.board(), session.port());
  session.WaitUntil([&] { return AllStand(session, devices); });
  return Report(session, devices, line.common.json) ? kExitOk : kExitFailed;
}

}  // namespace dnm::tool
