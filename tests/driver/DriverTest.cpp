// The driver binding: records as the card receives them and the port
// numbering between the library (0..3) and the driver (1..4).
#include <gtest/gtest.h>

#include <cstring>

#include "api/Library.h"
#include "driver/CanConfig.h"
#include "driver/Driver.h"
#include "vcan_test.h"

namespace dnm {
namespace {

TEST(Driver, ConfigurationRecordPerBaudCode) {
  const uint8_t expected[3][11] = {{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0x00, 0x1C},
                                   {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0x01, 0x1C},
                                   {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x1C}};
  for (uint8_t baud = 0; baud < 3; ++baud) {
    const CANConfig config = MakeCANConfig(baud);
    EXPECT_EQ(0, std::memcmp(&config, expected[baud], sizeof config)) << "baud code " << int{baud};
  }
}

TEST(Driver, LibraryPortsAreTheDriversPortsPlusOne) {
  const std::string path = "/tmp/dnm-driver-" + std::to_string(getpid()) + ".txt";
  FILE* file = fopen(path.c_str(), "w");
  fputs("boards 2\n", file);
  fclose(file);
  setenv("VELKCAN_NETWORK", path.c_str(), 1);
  ASSERT_EQ(driver::BindDriver(), 0);
  ASSERT_EQ(driver::TotalBoard(), 2);
  ASSERT_EQ(driver::ActiveBoard(1), 0);
  const int32_t listener = VCAN_AttachNode(1, 4, 500);  // the driver's port 4 of board 1
  const int32_t other = VCAN_AttachNode(1, 3, 500);
  ASSERT_EQ(driver::Reset(1, 3), 0);
  ASSERT_EQ(driver::Init(1, 3), 0);
  CANMsg msg{};
  msg.id = 0x123;
  msg.len = 3;
  const uint8_t bytes[8] = {1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  std::memcpy(msg.data, bytes, 8);  // bytes past len are not part of the frame
  ASSERT_EQ(driver::SendMsg(1, 3, msg), 0);
  CANMsg heard{};
  ASSERT_EQ(VCAN_NodeReceive(listener, &heard, 1000), 0);
  EXPECT_EQ(heard.id, 0x123u);
  ASSERT_EQ(heard.len, 3);
  EXPECT_EQ(0, std::memcmp(heard.data, bytes, 3));
  EXPECT_NE(VCAN_NodeReceive(other, &heard, 100), 0);
}

}  // namespace
}  // namespace dnm
