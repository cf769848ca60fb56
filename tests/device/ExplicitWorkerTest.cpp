// The explicit worker seen from inside the library: what it does when
// another thread marks its connection lost.
#include <gtest/gtest.h>

#include "Responder.h"
#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "platform/Platform.h"
#include "port/CANPort.h"

namespace dnm {
namespace {

using std::chrono::milliseconds;

// Answers everything; a release only after 400 ms.
std::vector<CANMsg> AcceptingSlave(const CANMsg& m) {
  if (m.id == 0x42E && m.data[1] == 0x4C) std::this_thread::sleep_for(milliseconds(400));
  if (m.id == 0x42E) return {test::MakeFrame(0x42B, {0x40, uint8_t(m.data[1] | 0x80), 0x00})};
  if (m.id == 0x42C) return {test::MakeFrame(0x42B, {0x40, 0x90})};
  return {};
}

TEST(ExplicitWorker, LostConnectionIsReleasedWithAWaitAndAllocatedAgain) {
  DeviceNet_Initial();
  ASSERT_EQ(DNM_ActiveBoard(0), 0);
  ASSERT_EQ(DNM_Online(0, 0, 0, 0), 0);
  test::VirtualCard card;
  test::Responder slave(card, 0, 0, AcceptingSlave);
  ASSERT_EQ(DNM_AddDevice(0, 0, 5, 0), 0);
  ASSERT_EQ(DNM_ConfigExplicitMsg(0, 0, 5, 3), 0);
  ASSERT_EQ(DNM_StartDevice(0, 0, 5), 0);
  Device_Info& device = *Lib().boards[0]->port(0).device(5);
  for (int i = 0; i < 100 && device.status(kExplicit) != 0; ++i) platform::SleepMs(20);
  ASSERT_EQ(device.status(kExplicit), 0);

  const auto lost = std::chrono::steady_clock::now();
  device.set_status(kExplicit, kStatusNotEstablished);  // as an I/O worker does on failure
  ASSERT_TRUE(slave.WaitFor(0x42E, 0x4B, 2, 5000));
  const auto releases = slave.HeardWith(0x42E, 0x4C);
  ASSERT_EQ(releases.size(), 1u);
  const auto again = slave.HeardWith(0x42E, 0x4B).at(1);
  // Noticed at the worker's next look (every 2 s), then released and asked again.
  EXPECT_LT(again.at - lost, milliseconds(3500));
  // The release was waited for: the new request follows its late answer.
  EXPECT_GT(again.at - releases[0].at, milliseconds(380));
  for (int i = 0; i < 100 && device.status(kExplicit) != 0; ++i) platform::SleepMs(20);
  EXPECT_EQ(device.status(kExplicit), 0);
}

}  // namespace
}  // namespace dnm
