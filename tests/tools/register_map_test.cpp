// The Modbus register map: which requests it covers whole, at addresses that depend on the port's
// place and the MAC ID only.
#include <gtest/gtest.h>

#include "RegisterMap.h"

namespace dnm::tool {
namespace {

DeviceEntry Device(uint8_t mac) {
  DeviceEntry device;
  device.mac = mac;
  return device;
}

// Port 0/0 and, as the eighth port, 1/3 (index 7).
ScanList EightPorts() {
  ScanList list;
  for (uint8_t i = 0; i < 8; ++i) list.ports.push_back({static_cast<uint8_t>(i / 4),
                                                        static_cast<uint8_t>(i % 4), 0, 0, {}, 0});
  DeviceEntry full = Device(3);
  full.poll = PollConnection{64, 3};
  full.strobe = StrobeConnection{8};
  full.cos_cyclic = CosCyclicConnection{false, 64, 2, 2500};
  DeviceEntry cos_only = Device(5);
  cos_only.cos_cyclic = CosCyclicConnection{false, 1, 0, 2500};
  DeviceEntry cyclic_outputs = Device(6);
  cyclic_outputs.cos_cyclic = CosCyclicConnection{true, 2, 4, 100};
  list.ports[0].devices = {full, cos_only, cyclic_outputs};
  DeviceEntry last = Device(63);
  last.poll = PollConnection{2, 0};
  list.ports[7].devices = {last};
  return list;
}

constexpr uint32_t kFull = 3 * 128;
constexpr uint32_t kCosOnly = 5 * 128;
constexpr uint32_t kCyclic = 6 * 128;
constexpr uint32_t kLast = 7 * 8192 + 63 * 128;

TEST(RegisterMap, CoversARequestOnlyWhenEveryRegisterIsInTheMap) {
  const RegisterMap map(EightPorts());
  struct Case {
    const char* what;
    RegisterTable table;
    uint32_t start, count;
    size_t ranges;  // 0: outside the map
  };
  constexpr RegisterTable kIn = RegisterTable::kInput;
  constexpr RegisterTable kOut = RegisterTable::kHolding;
  const Case cases[] = {
      {"every input and the status block at once", kIn, kFull, 105, 4},
      {"one past the status block", kIn, kFull, 106, 0},
      {"from inside the poll inputs into the strobe inputs", kIn, kFull + 31, 2, 2},
      {"3 output bytes: two registers", kOut, kFull, 2, 1},
      {"a third output register", kOut, kFull, 3, 0},
      {"COS outputs beside a poll connection", kOut, kFull + 36, 1, 0},
      {"no poll connection", kIn, kCosOnly, 1, 0},
      {"one COS input byte: one register", kIn, kCosOnly + 36, 1, 1},
      {"from the gap into the COS inputs", kIn, kCosOnly + 35, 2, 0},
      {"from the COS inputs into the gap before the status", kIn, kCosOnly + 36, 2, 0},
      {"no COS outputs", kOut, kCosOnly + 36, 1, 0},
      {"cyclic outputs without poll", kOut, kCyclic + 36, 2, 1},
      {"a MAC ID not in the list", kIn, 0, 1, 0},
      {"no register at all", kIn, kFull, 0, 0},
      {"the last port's last device's last counter", kIn, kLast + 68 + 36, 1, 1},
      {"past it", kIn, kLast + 68 + 36, 2, 0},
      {"the last address", kIn, 65535, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map.Cover(c.table, c.start, c.count).size(), c.ranges) << c.what;
  }
}

TEST(RegisterMap, AddressesHoldWhenOtherDevicesComeAndGo) {
  ScanList list = EightPorts();
  const RegisterMap before(list);
  list.ports[0].devices.erase(list.ports[0].devices.begin() + 1);
  list.ports[0].devices.insert(list.ports[0].devices.begin(), Device(1));
  const RegisterMap after(list);
  const auto status_of_mac_3 = [](const RegisterMap& map) {
    const auto cover = map.Cover(RegisterTable::kInput, kFull + kStatusOffset, kStatusRegisters);
    return cover.size() == 1 ? cover[0]->mac : 0;
  };
  EXPECT_EQ(status_of_mac_3(before), 3);
  EXPECT_EQ(status_of_mac_3(after), 3);
  EXPECT_EQ(after.Cover(RegisterTable::kInput, kCosOnly + 36, 1).size(), 0u);
}

}  // namespace
}  // namespace dnm::tool
