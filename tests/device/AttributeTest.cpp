// Reading and writing attributes, with the fragmentation protocol in both
// directions, against a node in the test that plays the slave frame by
// frame (and misbehaves when told to).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>

#include "MasterLib.h"
#include "Responder.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

using Frames = std::vector<CANMsg>;

constexpr uint8_t kMaster = 0;

struct SlaveIds {
  uint8_t mac;
  bool ucmm;
  uint32_t request() const { return ucmm ? 0x600u + kMaster : 0x404 + mac * 8u; }
  uint32_t response() const { return ucmm ? 0x600u + mac : 0x403 + mac * 8u; }
};

// The library's own requests on the connection carry the XID bit; the
// application's attribute requests do not.
bool IsLibraryRequest(const CANMsg& m) {
  return (m.data[0] & 0xC0) == 0x40;
}

// What the slave does with one attribute request frame (a get, a set or a
// fragment of a set): the frames it answers with.
using AttributeScript = std::function<Frames(const CANMsg&)>;

// Establishes the explicit connection (group 2 or UCMM) and hands every
// other frame on the device's request identifier to the attribute script.
Responder::Script Slave(SlaveIds ids, std::shared_ptr<AttributeScript> script) {
  return [ids, script](const CANMsg& m) -> Frames {
    if (!ids.ucmm && m.id == 0x406 + ids.mac * 8u)
      return {MakeFrame(0x403 + ids.mac * 8u, {0x40, uint8_t(m.data[1] | 0x80), 0x00})};
    if (ids.ucmm && m.id == 0x780u + kMaster && (m.data[0] & 0x3F) == ids.mac)
      return {MakeFrame(0x740u + ids.mac, {0x40, uint8_t(m.data[1] | 0x80), 0x00, 0x00, 0x07})};
    if (m.id == ids.request() && IsLibraryRequest(m)) {
      // The watchdog action and keep-alives.
      return {MakeFrame(ids.response(), {0x40, uint8_t(m.data[1] | 0x80), 0x03})};
    }
    if (m.id == ids.request() && *script) return (*script)(m);
    return {};
  };
}

Frames Reply(SlaveIds ids, std::vector<uint8_t> data) {
  return {MakeFrame(ids.response(), data)};
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> value(n);
  for (size_t i = 0; i < n; ++i) value[i] = static_cast<uint8_t>(i * 7 + 1);
  return value;
}

class Attributes : public OnlineMaster {
 protected:
  // A connected slave whose attribute requests go to script_.
  Responder& Connect(SlaveIds ids = {5, false}) {
    slaves_.push_back(std::make_unique<Responder>(*card_, 0, 0, Slave(ids, script_)));
    EXPECT_EQ(lib_.DNM_AddDevice(0, 0, ids.mac, ids.ucmm), 0);
    EXPECT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, ids.mac, 3), 0);
    EXPECT_EQ(lib_.DNM_StartDevice(0, 0, ids.mac), 0);
    EXPECT_TRUE(Eventually(
        [&] { return lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, ids.mac) == 0; }, 3000));
    return *slaves_.back();
  }

  void Script(AttributeScript script) { *script_ = std::move(script); }

  uint16_t Set(uint8_t mac, const std::vector<uint8_t>& value) {
    return lib_.DNM_SetAttribute(0, 0, mac, 0x64, 1, 3, value.data(),
                                 static_cast<uint32_t>(value.size()));
  }

  // Frames the master sent on the device's request identifier.
  static std::vector<std::string> Requests(const Responder& slave, SlaveIds ids = {5, false}) {
    std::vector<std::string> texts;
    for (const HeardFrame& f : slave.HeardWith(ids.request()))
      if (!IsLibraryRequest(f.msg)) texts.push_back(FrameText(f.msg));
    return texts;
  }

  std::shared_ptr<AttributeScript> script_ = std::make_shared<AttributeScript>();
  std::vector<std::unique_ptr<Responder>> slaves_;
};

// A slave that acknowledges every fragment and answers every set.
Frames AcceptSets(SlaveIds ids, const CANMsg& m) {
  if (m.data[0] & 0x80) {
    const uint8_t type = m.data[1] >> 6;
    Frames answer = Reply(ids, {0x80, uint8_t(0xC0 | (m.data[1] & 0x3F)), 0x00});
    if (type == 2) answer.push_back(MakeFrame(ids.response(), {0x00, 0x90}));
    return answer;
  }
  if (m.data[1] == 0x10) return Reply(ids, {0x00, 0x90});
  return {};
}

// Split as the protocol says, up to the longest value; a longer or an empty one is refused
// before anything is sent.
TEST_F(Attributes, SetsAreSplitUpToTheLongestValueAndMissingAcknowledgementsResentOnce) {
  std::vector<uint8_t> received;
  Script([&](const CANMsg& m) {
    if (m.data[0] & 0x80) {
      const size_t skip = (m.data[1] >> 6) == 0 ? 6 : 2;
      received.insert(received.end(), m.data + skip, m.data + m.len);
    }
    return AcceptSets({5, false}, m);
  });
  Responder& slave = Connect();
  const struct {
    std::vector<uint8_t> value;
    std::vector<std::string> frames;
  } cases[] = {
      {{0xA1, 0xA2, 0xA3}, {"42C#0010640103A1A2A3"}},
      {{1, 2, 3, 4}, {"42C#8000106401030102", "42C#80810304"}},
      {Pattern(14), {"42C#8000106401030108", "42C#80410F161D242B32", "42C#80823940474E555C"}},
  };
  size_t seen = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(Set(5, c.value), 0);
    const auto frames = Requests(slave);
    EXPECT_EQ(std::vector<std::string>(frames.begin() + seen, frames.end()), c.frames);
    seen = frames.size();
  }
  received.clear();
  const auto value = Pattern(255);
  ASSERT_EQ(Set(5, value), 0);
  EXPECT_EQ(received, value);
  EXPECT_EQ(Requests(slave).size() - seen, 44u);
  const size_t before = slave.Heard().size();
  EXPECT_EQ(Set(5, Pattern(256)), DNM_SetAttributeDataTooLong);
  EXPECT_EQ(Set(5, {}), DNM_SetAttributeDataIsEmpty);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(slave.Heard().size(), before);
  EXPECT_TRUE(lib_.HasLine("SetAttribute()   Error!The data is Empty!"));

  // The first fragment's acknowledgement is lost once and comes after the
  // resend; then the first, then a later fragment is never acknowledged.
  std::atomic<int> first_fragments{0};
  Script([&](const CANMsg& m) -> Frames {
    const bool first = (m.data[0] & 0x80) && m.data[1] == 0x00;
    if (first && (first_fragments++ == 0 || m.data[6] == 0xEE)) return {};
    if ((m.data[0] & 0x80) && m.data[1] == 0x81 && m.data[2] == 0xDD) return {};
    return AcceptSets({5, false}, m);
  });
  const size_t sent = Requests(slave).size();
  EXPECT_EQ(Set(5, {1, 2, 3, 4}), 0);
  const auto frames = Requests(slave);
  EXPECT_EQ(
      std::vector<std::string>(frames.begin() + sent, frames.end()),
      (std::vector<std::string>{"42C#8000106401030102", "42C#8000106401030102", "42C#80810304"}));
  EXPECT_EQ(Set(5, {0xEE, 2, 3, 4}), DNM_SetAttributeResponseTimeout);
  EXPECT_EQ(Set(5, {1, 2, 0xDD, 4}), DNM_SetAttributeFragmentACKTimeout);
}

// A set answered in the fragmented form is acknowledged; other answers are no success.
TEST_F(Attributes, SetAnswersThatAreNotASuccessAndTheFragmentedFormAcknowledged) {
  Script([](const CANMsg& m) -> Frames {
    if ((m.data[0] & 0x80) && m.data[1] == 0x00 && m.data[6] == 1)
      return Reply({5, false}, {0x80, 0xC0, 0x01});
    // The master's acknowledgement of a fragmented answer is not answered: a stray
    // acknowledgement could be taken for that of the next set's first fragment.
    if ((m.data[0] & 0x80) && (m.data[1] >> 6) == 3) return {};
    if (m.data[0] & 0x80) {
      Frames answer = Reply({5, false}, {0x80, uint8_t(0xC0 | (m.data[1] & 0x3F)), 0x00});
      if ((m.data[1] >> 6) == 2) answer.push_back(MakeFrame(0x42B, {0x80, 0x90}));
      return answer;
    }
    if (m.data[1] == 0x10 && m.data[5] == 0xE1) return Reply({5, false}, {0x00, 0x94, 0x0E, 0xFF});
    if (m.data[1] == 0x10 && m.data[5] == 0xF1) return Reply({5, false}, {0x80, 0x90});
    return {};
  });
  Responder& slave = Connect();
  EXPECT_EQ(Set(5, {5, 2, 3, 4}), 0);
  ASSERT_TRUE(slave.WaitFor(0x42C, 0xC0, 1, 1000));
  EXPECT_EQ(FrameText(slave.HeardWith(0x42C, 0xC0).at(0).msg), "42C#80C000");
  EXPECT_EQ(Set(5, {1, 2, 3, 4}), DNM_SetAttributeACKError);
  EXPECT_EQ(Set(5, {0xE1}), DNM_SetAttributeResponseError);
  EXPECT_EQ(Set(5, {0xF1}), DNM_SetAttributeResponseTimeout);  // fragmented form to a plain set
  EXPECT_EQ(Set(5, {0x01}), DNM_SetAttributeResponseTimeout);  // no answer at all
}

// Answers a get of attribute N with Pattern(N): whole up to 6 bytes, else in fragments, each
// after the acknowledgement of the one before.
AttributeScript AnswerWithAttributeLength(SlaveIds ids) {
  auto value = std::make_shared<std::vector<uint8_t>>();
  return [ids, value](const CANMsg& m) -> Frames {
    size_t count = 0;
    if (m.data[1] == 0x0E) {
      *value = Pattern(m.data[4]);
      if (value->size() <= 6) {
        value->insert(value->begin(), {0x00, 0x8E});
        return Reply(ids, *value);
      }
    } else if ((m.data[0] & 0x80) && (m.data[1] & 0xC0) == 0xC0) {
      count = (m.data[1] & 0x3F) + 1u;
    } else {
      return {};
    }
    const size_t start = count == 0 ? 0 : 5 + (count - 1) * 6;
    if (start >= value->size()) return {};
    const size_t take = std::min<size_t>(count == 0 ? 5 : 6, value->size() - start);
    const bool last = start + take == value->size();
    std::vector<uint8_t> data = {0x80, uint8_t(count == 0 ? 0x00 : (last ? 0x80 : 0x40) | count)};
    if (count == 0) data.push_back(0x8E);
    data.insert(data.end(), value->begin() + start, value->begin() + start + take);
    return Reply(ids, data);
  };
}

// The 64-byte call: a short value clears the rest of the area, a fragmented one is
// acknowledged fragment by fragment, a longer one is refused and leaves all as it was. The call
// with the caller's size takes values up to 255 bytes.
TEST_F(Attributes, GetOfShortFragmentedAndTooLongValuesUpTo255BytesWithTheCallersSize) {
  Script(AnswerWithAttributeLength({5, false}));
  Responder& slave = Connect();
  uint8_t area[128];
  for (const uint8_t attribute : {2, 14}) {
    std::fill(std::begin(area), std::end(area), 0xCC);
    uint32_t length = 0;
    ASSERT_EQ(lib_.DNM_GetAttribute(0, 0, 5, 0x64, 1, attribute, area, &length), 0);
    ASSERT_EQ(length, attribute);
    EXPECT_EQ(std::vector<uint8_t>(area, area + length), Pattern(attribute));
    EXPECT_TRUE(std::all_of(area + length, area + 64, [](uint8_t b) { return b == 0; }));
  }
  ASSERT_TRUE(slave.WaitFor(0x42C, 0xC2, 1, 1000));
  EXPECT_EQ(Requests(slave), (std::vector<std::string>{"42C#000E640102", "42C#000E64010E",
                                                       "42C#80C000", "42C#80C100", "42C#80C200"}));
  std::fill(std::begin(area), std::end(area), 0xCC);
  uint32_t length = 77;
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 5, 0x64, 1, 80, area, &length),
            DNM_GetAttributeDataTooLong);
  EXPECT_TRUE(std::all_of(area + 64, area + 128, [](uint8_t b) { return b == 0xCC; }));
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(lib_.LinesWith("GetAttribute( )   Error!The value is longer than 64 bytes").size(), 1u);

  const struct {
    uint8_t length;  // of the value, the attribute's ID
    uint32_t size;
    uint16_t code;
  } cases[] = {
      {200, 255, 0},
      {200, 200, 0},
      {255, 1000, 0},
      {200, 199, DNM_GetAttributeDataTooLong},
      {4, 4, 0},
      {4, 3, DNM_GetAttributeDataTooLong},
      {14, 4, DNM_GetAttributeDataTooLong},  // refused at the first fragment
      {14, 0, DNM_GetAttributeDataTooLong},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> room(300, 0xCC);
    uint32_t got = 999;
    EXPECT_EQ(lib_.DNM_GetAttributeEx(0, 0, 5, 0x64, 1, c.length, room.data(), c.size, &got),
              c.code)
        << int{c.length} << " in " << c.size;
    const uint32_t written = c.code == 0 ? c.length : 0;
    EXPECT_EQ(got, c.code == 0 ? c.length : 999u);
    EXPECT_EQ(std::vector<uint8_t>(room.begin(), room.begin() + written), Pattern(written));
    EXPECT_TRUE(
        std::all_of(room.begin() + written, room.end(), [](uint8_t b) { return b == 0xCC; }));
  }
  // The 64-byte call keeps its limit.
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 5, 0x64, 1, 64, area, &length), 0);
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 5, 0x64, 1, 65, area, &length),
            DNM_GetAttributeDataTooLong);
  EXPECT_EQ(lib_.DNM_GetAttributeEx(0, 0, 5, 0x64, 1, 4, nullptr, 4, &length),
            DNM_NullPointerError);
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 5, 0x64, 1, 4, nullptr, &length), DNM_NullPointerError);
}

TEST_F(Attributes, LastErrorResponseOfTheApplicationsCallsAndDevicesNotConnected) {
  Script([](const CANMsg& m) -> Frames {
    if (m.data[1] == 0x0E && m.data[4] == 9) return Reply({5, false}, {0x00, 0x94, 0x14, 0xFF});
    if (m.data[1] == 0x0E && m.data[4] == 8) return Reply({5, false}, {0x00, 0x94});
    if (m.data[1] == 0x0E) return Reply({5, false}, {0x00, 0x8E, 0x01});
    if (m.data[1] == 0x10) return Reply({5, false}, {0x00, 0x94, 0x0E, 0x05});
    return {};
  });
  Connect();
  uint8_t area[64];
  uint32_t length = 0;
  const auto get = [&](uint8_t attribute) {
    return lib_.DNM_GetAttribute(0, 0, 5, 1, 1, attribute, area, &length);
  };
  const struct {
    std::function<uint16_t()> call;
    uint16_t code;
    uint8_t general, additional;
  } steps[] = {
      {[] { return uint16_t{0}; }, 0, 0x00, 0x00},  // none yet
      {[&] { return get(9); }, DNM_GetAttributeResponseError, 0x14, 0xFF},
      {[&] { return Set(5, {1}); }, DNM_SetAttributeResponseError, 0x0E, 0x05},
      {[&] { return get(1); }, 0, 0x0E, 0x05},  // kept until the next one
      {[&] { return get(8); }, DNM_GetAttributeResponseError, 0xFF, 0xFF},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(step.call(), step.code);
    uint8_t general = 0xAA, additional = 0xAA;
    ASSERT_EQ(lib_.DNM_GetLastErrorResponse(0, 0, 5, &general, &additional), 0);
    EXPECT_EQ(general, step.general);
    EXPECT_EQ(additional, step.additional);
  }
  uint8_t general = 0, additional = 0;
  EXPECT_EQ(lib_.DNM_GetLastErrorResponse(0, 0, 6, &general, &additional), DNM_DeviceNotInScanList);
  EXPECT_EQ(lib_.DNM_GetLastErrorResponse(0, 0, 64, &general, &additional), DNM_MACIDNumberError);
  EXPECT_EQ(lib_.DNM_GetLastErrorResponse(0, 4, 5, &general, &additional), DNM_PortNumberError);
  EXPECT_EQ(lib_.DNM_GetLastErrorResponse(0, 0, 5, nullptr, &additional), DNM_NullPointerError);

  // Devices that are not connected are not asked.
  ASSERT_EQ(lib_.DNM_AddDevice(0, 0, 9, 0), 0);
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 9, 1, 1, 1, area, &length), DNM_DeviceIsUnConnected);
  ASSERT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, 9, 3), 0);
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 9, 1, 1, 1, area, &length), DNM_DeviceIsUnConnected);
  EXPECT_TRUE(lib_.HasLine("GetAttribute()   Error!The Device 9 do not establish connection"));
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 8, 1, 1, 1, area, &length), DNM_DeviceNotInScanList);
  // Nor is a device whose last attempt went unanswered (status 5).
  Responder listener(*card_, 0, 0, nullptr);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 9), 0);
  std::this_thread::sleep_for(milliseconds(4500));
  EXPECT_EQ(lib_.DNM_GetAttribute(0, 0, 9, 1, 1, 1, area, &length), DNM_DeviceIsUnConnected);
  EXPECT_EQ(listener.HeardWith(0x44C, 0x0E).size(), 0u);
}

TEST_F(Attributes, UcmmDeviceIsAskedOnGroup3ForGetAndSet) {
  const SlaveIds ids{6, true};
  Script([ids](const CANMsg& m) -> Frames {
    if (m.data[1] == 0x0E) return Reply(ids, {0x00, 0x8E, 0x42});
    return AcceptSets(ids, m);
  });
  Responder& slave = Connect(ids);
  uint8_t area[64];
  uint32_t length = 0;
  ASSERT_EQ(lib_.DNM_GetAttribute(0, 0, 6, 1, 1, 1, area, &length), 0);
  EXPECT_EQ(area[0], 0x42);
  EXPECT_EQ(Set(6, {7}), 0);
  EXPECT_EQ(Set(6, {1, 2, 3, 4}), 0);
  EXPECT_EQ(Requests(slave, ids),
            (std::vector<std::string>{"600#060E010101", "600#061064010307", "600#8600106401030102",
                                      "600#86810304"}));
}

TEST_F(Attributes, TwoDevicesAskedAtOnceEachGetTheirOwnAnswer) {
  Script([](const CANMsg& m) -> Frames {
    std::this_thread::sleep_for(milliseconds(200));
    const uint8_t mac = static_cast<uint8_t>((m.id - 0x404) / 8);
    return {MakeFrame(0x403 + mac * 8u, {0x00, 0x8E, mac})};
  });
  Connect({5, false});
  Connect({6, false});
  auto ask = [&](uint8_t mac) {
    uint8_t area[64] = {};
    uint32_t length = 0;
    const uint16_t result = lib_.DNM_GetAttribute(0, 0, mac, 1, 1, 1, area, &length);
    return result == 0 ? int{area[0]} : -int{result};
  };
  auto five = std::async(std::launch::async, ask, 5);
  auto six = std::async(std::launch::async, ask, 6);
  EXPECT_EQ(five.get(), 5);
  EXPECT_EQ(six.get(), 6);
}

}  // namespace
}  // namespace dnm::test
