// dnm scan: the devices that answer, with their identities.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>

#include "Commands.h"
#include "Connections.h"
#include "Diagnosis.h"
#include "Explain.h"
#include "Json.h"
#include "ScanList.h"
#include "Session.h"
#include "Values.h"

namespace dnm::tool {
namespace {

constexpr uint8_t kConnectionClass = 0x05;
// Attributes of a Connection object instance.
constexpr uint8_t kProducedSize = 7;
constexpr uint8_t kConsumedSize = 8;

// An I/O connection the device offers: its Connection object instance
// answers with its produced and consumed connection sizes.
struct OfferedConnection {
  const char* name;
  uint32_t produced, consumed;
};

std::optional<uint32_t> ReadConnectionSize(const Session& session, uint8_t mac, uint8_t instance,
                                           uint8_t attribute) {
  uint8_t value[255];
  uint32_t length = 0;
  if (api().DNM_GetAttributeEx(session.board(), session.port(), mac, kConnectionClass, instance,
                               attribute, value, sizeof value, &length) != DNM_NoError ||
      length != 2) {
    return std::nullopt;
  }
  return Little(std::vector<uint8_t>(value, value + length));
}

std::vector<OfferedConnection> ReadOffered(const Session& session, uint8_t mac) {
  const struct {
    uint8_t instance;
    const char* name;
  } instances[] = {{2, "poll"}, {3, "strobe"}, {4, "cos/cyclic"}};
  std::vector<OfferedConnection> offered;
  for (const auto& i : instances) {
    const auto produced = ReadConnectionSize(session, mac, i.instance, kProducedSize);
    const auto consumed = ReadConnectionSize(session, mac, i.instance, kConsumedSize);
    if (produced && consumed) offered.push_back({i.name, *produced, *consumed});
  }
  return offered;
}

// "     offers poll in 4 out 4, strobe in 2 out 8" or its JSON member.
std::string OfferedText(const std::vector<OfferedConnection>& offered, bool json) {
  std::string text;
  for (const OfferedConnection& c : offered) {
    const std::string in = std::to_string(c.produced), out = std::to_string(c.consumed);
    if (json) {
      text += std::string(text.empty() ? "" : ",") + "{\"connection\":" + JsonString(c.name) +
              ",\"produced\":" + in + ",\"consumed\":" + out + "}";
    } else {
      text += (text.empty() ? "" : ", ") + std::string(c.name) + " in " + in + " out " + out;
    }
  }
  if (json) return ",\"connections\":[" + text + "]";
  return "     offers " + (text.empty() ? std::string("no I/O connection") : text) + "\n";
}

std::string Text(const std::optional<uint32_t>& number) {
  return number ? std::to_string(*number) : "?";
}

std::string JsonNumber(const std::optional<uint32_t>& number) {
  return number ? std::to_string(*number) : "null";
}

void PrintRow(uint8_t mac, const Identity& identity) {
  std::printf("%3u  %6s  %4s  %7s  %-8s  %10s  %s\n", unsigned{mac}, Text(identity.vendor).c_str(),
              Text(identity.device_type).c_str(), Text(identity.product_code).c_str(),
              identity.revision.empty() ? "?" : identity.revision.c_str(),
              Text(identity.serial).c_str(), identity.product_name.c_str());
}

// reason: why a device that answers takes no explicit connection, null for a connected one.
std::string JsonOf(uint8_t mac, const Identity& identity, uint16_t status,
                   const std::string& reason) {
  return "{\"mac\":" + std::to_string(mac) + ",\"connected\":" + (status == 0 ? "true" : "false") +
         ",\"reason\":" + (status == 0 ? "null" : JsonString(reason)) +
         ",\"vendor_id\":" + JsonNumber(identity.vendor) +
         ",\"device_type\":" + JsonNumber(identity.device_type) +
         ",\"product_code\":" + JsonNumber(identity.product_code) +
         ",\"revision\":" + JsonString(identity.revision) +
         ",\"serial_number\":" + JsonNumber(identity.serial) +
         ",\"product_name\":" + JsonString(identity.product_name) + "}";
}

// Why a device that answers the duplicate MAC ID check takes no explicit connection.
std::string RefusalOf(const Session& session, uint8_t mac, uint16_t status) {
  const std::string why = DiagnoseDevice(session, mac).cause;
  return why.empty() ? ConnectionStatusWords(status) : why;
}

// A device that answers, as the scan found it.
struct Found {
  uint8_t mac;
  uint16_t status;  // of its explicit connection; 0 connected
  Identity identity;
  std::vector<OfferedConnection> offered;
  std::string refusal;  // why it takes no explicit connection
};

Found Examine(const Session& session, uint8_t mac, bool io) {
  const uint16_t status =
      api().DNM_CheckExplicitMsgConnectionStatus(session.board(), session.port(), mac);
  if (status != DNM_NoError) return {mac, status, {}, {}, RefusalOf(session, mac, status)};
  Found found{mac, status, ReadIdentity(session.board(), session.port(), mac), {}, ""};
  if (io) found.offered = ReadOffered(session, mac);
  return found;
}

void PrintFound(const std::vector<Found>& found, bool io, bool json) {
  std::vector<std::string> devices;
  if (!json) std::printf("MAC  VENDOR  TYPE  PRODUCT  REVISION      SERIAL  NAME\n");
  for (const Found& f : found) {
    const std::string offered = io && f.status == DNM_NoError ? OfferedText(f.offered, json) : "";
    if (json) {
      std::string device = JsonOf(f.mac, f.identity, f.status, f.refusal);
      devices.push_back(device.insert(device.size() - 1, offered));
    } else if (f.status == DNM_NoError) {
      PrintRow(f.mac, f.identity);
      std::printf("%s", offered.c_str());
    } else {
      std::printf("%3u  (answers, but no explicit connection: %s)\n", unsigned{f.mac},
                  f.refusal.c_str());
    }
  }
  if (json) {
    std::string all;
    for (const std::string& device : devices) all += (all.empty() ? "" : ",") + device;
    std::printf("{\"devices\":[%s]}\n", all.c_str());
  }
}

// The offered connection as a scan list entry of the device, or false when its sizes are beyond
// what the scanner takes.
bool AddConnection(const OfferedConnection& offered, DeviceEntry& device) {
  const std::string name = offered.name;
  if (name == "strobe") {
    if (offered.produced > 8) return false;
    device.strobe = StrobeConnection{static_cast<uint16_t>(offered.produced)};
    return true;
  }
  if (offered.produced > 64 || offered.consumed > 64) return false;
  const auto in = static_cast<uint16_t>(offered.produced);
  const auto out = static_cast<uint16_t>(offered.consumed);
  if (name == "poll") {
    device.poll = PollConnection{in, out};
  } else {
    device.cos_cyclic = CosCyclicConnection{false, in, out};
  }
  return true;
}

std::optional<uint16_t> Narrow(const std::optional<uint32_t>& value) {
  if (!value) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

// The device with its identity and the first offered connection; the other offered ones as
// commented lines (a person uncomments what they want) after it in notes.
DeviceEntry SavedDevice(const Found& found, std::string& notes) {
  DeviceEntry device;
  device.mac = found.mac;
  device.identity = {Narrow(found.identity.vendor), Narrow(found.identity.device_type),
                     Narrow(found.identity.product_code), found.identity.serial};
  for (const OfferedConnection& offered : found.offered) {
    const bool live = !device.poll && !device.strobe && !device.cos_cyclic;
    DeviceEntry alone;
    if (!AddConnection(offered, alone)) {
      notes += "    # " + std::string(offered.name) + " in " + std::to_string(offered.produced) +
               " out " + std::to_string(offered.consumed) + ": beyond what the scanner takes\n";
    } else if (live) {
      AddConnection(offered, device);
    } else {
      notes += "    # " + FormatConnectionLines(alone).substr(4);
    }
  }
  return device;
}

std::string SavedText(const CommonOptions& common, const std::vector<Found>& found) {
  ScanList list;
  PortEntry port{common.board, common.port, common.mac, common.baud_code, {}, 0};
  std::map<uint8_t, std::string> notes;
  std::string unconnected;
  for (const Found& f : found) {
    if (f.status == DNM_NoError) {
      port.devices.push_back(SavedDevice(f, notes[f.mac]));
    } else {
      unconnected += "  # device " + std::to_string(f.mac) +
                     " answers, but takes no explicit connection: " + f.refusal + "\n";
    }
  }
  list.ports.push_back(std::move(port));
  return "# The devices that answered dnm scan on board " + std::to_string(common.board) +
         " port " + std::to_string(common.port) +
         ", for dnm run.\n# Uncomment the connections to use, comment out the others.\n" +
         FormatScanList(list, [&notes](const PortEntry&,
                                       const DeviceEntry& device) { return notes[device.mac]; }) +
         unconnected;
}

// The mode of the file path names, to be kept by the file that replaces it; none when there is
// no file. A symbolic link or anything but a regular file is refused.
std::optional<mode_t> ReplacedMode(const std::string& path) {
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) != 0) return std::nullopt;
  if (S_ISLNK(existing.st_mode))
    throw std::runtime_error(path + " is a symbolic link; --save does not follow one");
  if (S_ISDIR(existing.st_mode)) throw std::runtime_error(path + " is a directory");
  if (!S_ISREG(existing.st_mode)) throw std::runtime_error(path + " is not a regular file");
  return existing.st_mode & 07777;
}

// Refuses at once, before the scan, a path the list could not be saved at.
void CheckSaveTarget(const std::string& path) {
  ReplacedMode(path);
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0)
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  if (!S_ISDIR(status.st_mode))
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(ENOTDIR));
}

// Writes the text to a new file beside path and renames it over path, so that a reader sees the
// old file or the new one whole; a symbolic link at path is refused, not followed.
void ReplaceFile(const std::string& path, const std::string& text) {
  const std::optional<mode_t> mode = ReplacedMode(path);
  const std::string temporary = path + ".saving-" + std::to_string(::getpid());
  // A new file gets what the umask leaves of 0666, as any file a command writes.
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  const auto fail = [&](int why) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(why));
  };
  if ((mode && ::fchmod(fd, *mode) != 0) || !WriteAll(fd, text) || ::fsync(fd) != 0) {
    const int why = errno;
    ::close(fd);
    fail(why);
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
}

}  // namespace

int RunScan(const CommandLine& line) {
  ExpectWords(line, 0);
  const bool io = line.Has("--io");
  const bool save = line.Has("--save");
  if (save) CheckSaveTarget(line.options.at("--save")[0]);
  const Session session(line.common);
  std::vector<uint8_t> macs;
  session.Check("DNM_GetAllDeviceMACID", session.AnsweringMacs(macs));
  if (macs.empty()) {
    throw CallError({"DNM_GetAllDeviceMACID",
                     DNM_NoError,
                     "no device answered",
                     false,
                     0,
                     0,
                     {},
                     NothingAnswersHint()});
  }
  for (const uint8_t mac : macs) {
    session.AddDevice(mac);
    session.Start(mac);
  }
  session.WaitUntilReady(api().DNM_CheckExplicitMsgConnectionStatus, macs,
                         "the explicit connections of the devices");
  std::vector<Found> found;
  for (const uint8_t mac : macs) found.push_back(Examine(session, mac, io || save));
  // Saved first: a failed save prints only its error, one document with --json.
  if (save) ReplaceFile(line.options.at("--save")[0], SavedText(line.common, found));
  PrintFound(found, io, line.common.json);
  return kExitOk;
}

}  // namespace dnm::tool
