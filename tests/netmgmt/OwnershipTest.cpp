// Ownership of the offline connection set: the requests on a quiet network and objections in
// both forms.
#include <gtest/gtest.h>

#include <thread>

#include "MasterLib.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

constexpr uint8_t kMaster = 0;

bool IsOwnershipRequest(const CANMsg& msg) {
  return msg.id == 0x7EF && msg.len == 8 && msg.data[1] == 0x4B;
}

struct Objection {
  const char* name;
  int to_request;  // 1 or 2
  CANMsg frame;
};

// A quiet network grants ownership after two requests, every check coming first; an objection in
// either form to either request refuses it.
TEST(Ownership, QuietNetworkGrantsItAfterTwoRequestsEveryCheckFirstAndAnObjectionRefusesIt) {
  UseNetwork("owner segment=vcan0.2 mac=9 form=7EF\n");  // on port 1 only
  MasterLib lib;
  VirtualCard card(lib);
  ASSERT_EQ(lib.DNM_ActiveBoard(0), 0);
  ASSERT_EQ(lib.DNM_Online(0, 0, 0, kMaster), 0);
  const int32_t listener = card.Attach(0, 0);

  EXPECT_EQ(lib.DNM_GetOwnership(0, 4), DNM_PortNumberError);
  EXPECT_TRUE(lib.HasLine("AddDevice()   Error!Port 4 is out of range"));
  EXPECT_EQ(lib.DNM_GetOwnership(0, 1), DNM_MasterStateError);
  EXPECT_TRUE(lib.HasLine("GetAttribute()   Error!Port 1 is not in Online state"));
  EXPECT_EQ(lib.DNM_CheckFaultNode(9, 0), DNM_BoardNumberError);
  EXPECT_TRUE(lib.HasLine("Error!Board 9 is out of range"));
  EXPECT_EQ(lib.DNM_CheckFaultNode(0, 1), DNM_MasterStateError);
  EXPECT_TRUE(lib.HasLine("AddDevice()   Error!Port 1 is not in Online state"));
  // Every fault-node call needs ownership first.
  uint16_t vendors[4] = {};
  uint32_t serials[4] = {};
  uint8_t count = 0;
  EXPECT_EQ(lib.DNM_CheckFaultNode(0, 0), DNM_PortNotGetOwnership);
  EXPECT_EQ(lib.DNM_GetAllFaultNode(0, 0, vendors, serials, 4), DNM_PortNotGetOwnership);
  EXPECT_EQ(lib.DNM_GetAllFaultNodeEx(0, 0, vendors, serials, 4, &count), DNM_PortNotGetOwnership);
  EXPECT_EQ(lib.DNM_ChangeFaultMACID(0, 0, 1, 2, 3), DNM_PortNotGetOwnership);
  EXPECT_TRUE(lib.HasLine("Error!Port 0 is not Get Ownership"));
  EXPECT_TRUE(card.Drain(listener, 50).empty());  // the refused calls sent nothing

  EXPECT_EQ(lib.DNM_GetOwnership(0, 0), 0);
  const auto heard = card.Drain(listener, 50);
  ASSERT_EQ(heard.size(), 2u);
  for (const CANMsg& msg : heard) EXPECT_EQ(FrameText(msg), "7EF#004B5E7A01000000");
  EXPECT_EQ(lib.DNM_CheckFaultNode(0, 0), 0);
  // A simulated owner of the set objects in the 0x7EF form.
  ASSERT_EQ(lib.DNM_Online(0, 1, 0, 3), 0);
  EXPECT_EQ(lib.DNM_GetOwnership(0, 1), DNM_GetOwnershipError);

  // A client objects to the master's n-th request: the ownership held before is gone.
  const Objection objections[] = {
      {"0x7EE to the first", 1, MakeFrame(0x7EE, {0xCB, 0x07})},
      {"0x7EE to the second", 2, MakeFrame(0x7EE, {0xCB})},
      {"0x7EF to the first", 1, MakeFrame(0x7EF, {0x07, 0xCB, 0xE8, 0x03, 0x01, 0, 0, 0})},
      {"0x7EF to the second", 2, MakeFrame(0x7EF, {0x07, 0xCB, 0xE8, 0x03, 0x01, 0, 0, 0})},
  };
  ASSERT_EQ(lib.DNM_GetOwnership(0, 0), 0);
  const int32_t client = card.Attach(0, 0);
  for (const Objection& objection : objections) {
    SCOPED_TRACE(objection.name);
    card.Drain(client, 20);  // the requests of the case before
    std::thread objecting([&] {
      CANMsg msg{};
      int requests = 0;
      while (card.Receive(client, msg, 3000)) {
        if (IsOwnershipRequest(msg) && ++requests == objection.to_request) {
          card.Send(client, objection.frame);
          return;
        }
      }
    });
    EXPECT_EQ(lib.DNM_GetOwnership(0, 0), DNM_GetOwnershipError);
    objecting.join();
    EXPECT_EQ(lib.DNM_CheckFaultNode(0, 0), DNM_PortNotGetOwnership);
    ASSERT_EQ(lib.DNM_GetOwnership(0, 0), 0);  // nobody objects now
  }
}

}  // namespace
}  // namespace dnm::test
