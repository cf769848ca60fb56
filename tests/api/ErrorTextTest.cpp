// DNM_GetErrorText names every code of the public header, and nothing else.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "MasterLib.h"

namespace dnm::test {
namespace {

struct HeaderCode {
  std::string name;
  uint16_t value;
};

// The "NAME = VALUE" entries whose names start with prefix of the header's first enum that has
// them: its codes (later enums hold other constants).
std::vector<HeaderCode> CodesOf(const std::string& header, const std::string& prefix) {
  std::ifstream in(header);
  std::vector<HeaderCode> codes;
  for (std::string line; std::getline(in, line) && !(line.rfind("};", 0) == 0 && !codes.empty());) {
    std::istringstream words(line);
    std::string name, equals;
    unsigned value = 0;
    if (words >> name >> equals >> value && equals == "=" && name.rfind(prefix, 0) == 0)
      codes.push_back({name, static_cast<uint16_t>(value)});
  }
  return codes;
}

TEST(ErrorText, EveryCodeOfTheHeadersHasItsNameAndUnknownValuesNone) {
  MasterLib lib;
  const auto codes = CodesOf(DNM_TEST_INCLUDE_DIR "/VELKCANDNM.h", "DNM_");
  ASSERT_GT(codes.size(), 70u);
  for (const HeaderCode& code : codes)
    EXPECT_STREQ(lib.DNM_GetErrorText(code.value), code.name.c_str()) << code.value;

  // The driver's codes, and values that are no code.
  const auto driver = CodesOf(DNM_TEST_INCLUDE_DIR "/VELKCAN.h", "CAN_");
  ASSERT_EQ(driver.size(), 23u);
  for (const HeaderCode& code : driver) {
    if (code.value == 0) continue;
    // The library keeps the driver's own spelling of two names ("CCAN_").
    EXPECT_NE(std::string(lib.DNM_GetErrorText(code.value)).find(code.name.substr(4)),
              std::string::npos)
        << code.name;
  }
  const struct {
    uint16_t code;
    const char* text;
  } cases[] = {{0, "DNM_NoError"}, {8, "CCAN_ConfigError"}, {19, "CAN_DataOverrun"},
               {23, "unknown"},    {1099, "unknown"},       {1906, "DNM_BitStrobeNotConfigure"},
               {4002, "unknown"},  {65535, "unknown"}};
  for (const auto& c : cases) EXPECT_STREQ(lib.DNM_GetErrorText(c.code), c.text) << c.code;
}

}  // namespace
}  // namespace dnm::test
