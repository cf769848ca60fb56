#include "RegisterMap.h"

#include <algorithm>

#include "ModbusService.h"

namespace dnm::tool {
namespace {

constexpr const char* kCounterNames[kCounterCount] = {
    "explicit_no_response",
    "explicit_error_response",
    "strobe_no_response",
    "cos_cyclic_with_poll_no_response",
    "cos_cyclic_with_poll_error_response",
    "cos_cyclic_with_poll_fragment_error",
    "cos_cyclic_with_poll_send_error",
    "cos_cyclic_without_poll_send_error",
    "cos_cyclic_without_poll_ack_no_response",
    "poll_send_error",
    "poll_no_response",
    "poll_error_response",
    "poll_fragment_error"};

uint16_t Registers(uint16_t bytes) {
  return static_cast<uint16_t>((bytes + 1) / 2);
}

// A range of the device's data, when it holds any byte.
void AddData(std::vector<RegisterRange>& ranges, RegisterTable table, RegisterField field,
             uint16_t offset, uint16_t bytes, const RegisterRange& device) {
  if (bytes == 0) return;
  RegisterRange range = device;
  range.table = table;
  range.field = field;
  range.start = static_cast<uint16_t>(device.start + offset);
  range.count = Registers(bytes);
  range.bytes = bytes;
  ranges.push_back(range);
}

void AddDevice(std::vector<RegisterRange>& ranges, const DeviceEntry& device, size_t port_index,
               size_t device_index) {
  const RegisterRange base{RegisterTable::kInput, RegisterField::kStatus, DeviceBase(port_index, device.mac),
                           0, 0, port_index, device_index, device.mac};
  if (device.poll) {
    AddData(ranges, RegisterTable::kInput, RegisterField::kPollData, kPollOffset,
            device.poll->input, base);
    AddData(ranges, RegisterTable::kHolding, RegisterField::kPollData, kPollOffset,
            device.poll->output, base);
  }
  if (device.strobe) {
    AddData(ranges, RegisterTable::kInput, RegisterField::kStrobeData, kStrobeOffset,
            device.strobe->input, base);
  }
  if (device.cos_cyclic) {
    AddData(ranges, RegisterTable::kInput, RegisterField::kCosCyclicData, kCosCyclicOffset,
            device.cos_cyclic->input, base);
    // With a poll connection the outputs go in the poll commands.
    if (!device.poll) {
      AddData(ranges, RegisterTable::kHolding, RegisterField::kCosCyclicData, kCosCyclicOffset,
              device.cos_cyclic->output, base);
    }
  }
  RegisterRange status = base;
  status.start = static_cast<uint16_t>(base.start + kStatusOffset);
  status.count = kStatusRegisters;
  ranges.push_back(status);
}

// "poll_inputs", "cyclic_outputs", "status".
std::string RangeName(const RegisterRange& range, const ScanList& list) {
  if (range.field == RegisterField::kStatus) return "status";
  const std::string direction = range.table == RegisterTable::kInput ? "_inputs" : "_outputs";
  if (range.field == RegisterField::kPollData) return "poll" + direction;
  if (range.field == RegisterField::kStrobeData) return "strobe" + direction;
  const DeviceEntry& device = list.ports[range.port_index].devices[range.device_index];
  return (device.cos_cyclic->cyclic ? "cyclic" : "cos") + direction;
}

std::string Number(uint32_t value) {
  return std::to_string(value);
}

std::string StatusLayoutText() {
  std::string text =
      "# Modbus TCP register map: protocol addresses from 0 (input register 30001 and holding\n"
      "# register 40001 are address 0); two data bytes per register, the first in the high\n"
      "# byte; counters 32-bit, high word first. Each device's status block, from its base:\n";
  const std::vector<std::string>& names = StatusRegisterNames();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty()) continue;
    text += "#   +" + Number(static_cast<uint32_t>(kStatusOffset + i)) + " " + names[i] + "\n";
  }
  return text;
}

std::string StatusLayoutJson() {
  std::string fields;
  const std::vector<std::string>& names = StatusRegisterNames();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty()) continue;
    const bool counter = i >= kFirstCounter;
    fields += std::string(fields.empty() ? "" : ",") + "{\"name\":\"" + names[i] +
              "\",\"offset\":" + Number(static_cast<uint32_t>(kStatusOffset + i)) +
              ",\"registers\":" + (counter ? "2" : "1") + "}";
  }
  return "\"status_block\":{\"offset\":" + Number(kStatusOffset) +
         ",\"registers\":" + Number(kStatusRegisters) + ",\"fields\":[" + fields + "]}";
}

std::string RangeText(const RegisterRange& range, const ScanList& list) {
  std::string text = std::string("    ") +
                     (range.table == RegisterTable::kInput ? "input " : "holding ") +
                     Number(range.start) + "-" + Number(range.end() - 1) + " " +
                     RangeName(range, list);
  if (range.bytes == 0) return text + "\n";
  return text + ", " + Number(range.bytes) + (range.bytes == 1 ? " byte\n" : " bytes\n");
}

std::string RangeJson(const RegisterRange& range, const ScanList& list) {
  return "{\"name\":\"" + RangeName(range, list) + "\",\"start\":" + Number(range.start) +
         ",\"count\":" + Number(range.count) +
         (range.bytes > 0 ? ",\"bytes\":" + Number(range.bytes) : "") + "}";
}

// The device's ranges, input registers first.
std::vector<const RegisterRange*> RangesOf(const RegisterMap& map, size_t port_index,
                                           uint8_t mac) {
  std::vector<const RegisterRange*> found;
  for (const RegisterRange& range : map.Ranges()) {
    if (range.port_index == port_index && range.mac == mac) found.push_back(&range);
  }
  return found;
}

std::string DeviceJson(const RegisterMap& map, const ScanList& list, size_t port_index,
                       uint8_t mac) {
  std::string tables[2];
  for (const RegisterRange* range : RangesOf(map, port_index, mac)) {
    std::string& table = tables[static_cast<size_t>(range->table)];
    table += (table.empty() ? "" : ",") + RangeJson(*range, list);
  }
  return "{\"mac\":" + Number(mac) + ",\"base\":" + Number(DeviceBase(port_index, mac)) +
         ",\"input_registers\":[" + tables[0] + "],\"holding_registers\":[" + tables[1] + "]}";
}

std::string PortHead(const PortEntry& port, size_t index, bool json) {
  const uint32_t base = static_cast<uint32_t>(index) * kPortSlotRegisters;
  if (json) {
    return "{\"index\":" + Number(static_cast<uint32_t>(index)) + ",\"board\":" +
           Number(port.board) + ",\"port\":" + Number(port.port) + ",\"base\":" + Number(base);
  }
  return "port " + Number(port.board) + "/" + Number(port.port) + " (index " +
         Number(static_cast<uint32_t>(index)) + ", base " + Number(base) + ")\n";
}

}  // namespace

const std::vector<std::string>& StatusRegisterNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = {"device_status",      "explicit_status",
                                    "poll_status",        "strobe_status",
                                    "cos_cyclic_status",  "run",
                                    "explicit_failure",   "poll_failure",
                                    "strobe_failure",     "cos_cyclic_failure",
                                    "poll_period_achieved_ms"};
    for (const char* counter : kCounterNames) {
      all.push_back(counter);
      all.emplace_back();  // its low word
    }
    return all;
  }();
  return names;
}

const char* CounterName(size_t index) {
  return kCounterNames[index];
}

uint16_t DeviceBase(size_t port_index, uint8_t mac) {
  return static_cast<uint16_t>(port_index * kPortSlotRegisters + mac * kDeviceSlotRegisters);
}

RegisterMap::RegisterMap(const ScanList& list) {
  for (size_t port = 0; port < list.ports.size() && port < kMaxPorts; ++port) {
    const std::vector<DeviceEntry>& devices = list.ports[port].devices;
    for (size_t device = 0; device < devices.size(); ++device) {
      if (devices[device].mac < 64) AddDevice(ranges_, devices[device], port, device);
    }
  }
  std::sort(ranges_.begin(), ranges_.end(), [](const RegisterRange& a, const RegisterRange& b) {
    return a.table != b.table ? a.table < b.table : a.start < b.start;
  });
}

std::vector<const RegisterRange*> RegisterMap::Cover(RegisterTable table, uint32_t start,
                                                     uint32_t count) const {
  std::vector<const RegisterRange*> cover;
  const uint32_t end = start + count;
  uint32_t next = start;
  auto at = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(table, start),
                             [](const std::pair<RegisterTable, uint32_t>& key,
                                const RegisterRange& range) {
                               return key.first != range.table ? key.first < range.table
                                                               : key.second < range.start;
                             });
  if (at != ranges_.begin()) --at;
  for (; at != ranges_.end() && at->table == table && next < end; ++at) {
    if (at->start > next) break;
    if (at->end() <= next) continue;
    cover.push_back(&*at);
    next = at->end();
  }
  if (count == 0 || next < end) cover.clear();
  return cover;
}

std::string RegisterMapText(const ScanList& list, bool json) {
  const RegisterMap map(list);
  std::string text = json ? "{" + StatusLayoutJson() + ",\"ports\":[" : StatusLayoutText();
  for (size_t index = 0; index < list.ports.size(); ++index) {
    const PortEntry& port = list.ports[index];
    text += (json && index > 0 ? "," : "") + PortHead(port, index, json);
    std::string devices;
    for (const DeviceEntry& device : port.devices) {
      if (json) {
        devices += (devices.empty() ? "" : ",") + DeviceJson(map, list, index, device.mac);
        continue;
      }
      text += "  mac " + Number(device.mac) + " (base " + Number(DeviceBase(index, device.mac)) +
              ")\n";
      for (const RegisterRange* range : RangesOf(map, index, device.mac))
        text += RangeText(*range, list);
    }
    if (json) text += ",\"devices\":[" + devices + "]}";
  }
  return json ? text + "]}\n" : text;
}

}  // namespace dnm::tool
