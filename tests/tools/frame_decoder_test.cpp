// The frame decoder of dnm monitor: frames as the simulated slaves and the master send them,
// and what the monitor says they are; the lines of capture files it reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "CaptureLine.h"
#include "FrameDecoder.h"

namespace dnm::tool {
namespace {

struct Case {
  uint32_t id;
  std::vector<uint8_t> data;
  int group, message, mac;
  const char* kind;
  const char* text;
};

TEST(FrameDecoder, SaysWhatEachFrameIs) {
  // clang-format off
  const Case cases[] = {
      {0x41F, {0x80, 0xE8, 0x03, 0xC3, 0xB2, 0xA1, 0x00}, 2, 7, 3, "dupmac",
       "duplicate MAC ID check response, vendor 1000 serial 10597059 (0x00A1B2C3)"},
      {0x43E, {0x40, 0x4B, 0x03, 0x01, 0x03, 0x00}, 2, 6, 7, "explicit",
       "explicit request from 0: Allocate_Master/Slave_Connection_Set class 0x03 instance 1 "
       "choice 0x03 by 0"},
      {0x43B, {0x40, 0xCB, 0x00}, 2, 3, 7, "explicit",
       "explicit response to 0: Allocate_Master/Slave_Connection_Set response, 1 byte"},
      {0x41C, {0x00, 0x0E, 0x01, 0x01, 0x07}, 2, 4, 3, "explicit",
       "explicit request from 0: Get_Attribute_Single class 0x01 instance 1 attribute 7"},
      {0x41B, {0x00, 0x8E, 0x41, 0x42}, 2, 3, 3, "explicit",
       "explicit response to 0: Get_Attribute_Single response, 2 bytes"},
      {0x44B, {0x00, 0x94, 0x14, 0xFF}, 2, 3, 9, "explicit",
       "explicit response to 0: Error_Response general status 0x14, additional 0xFF"},
      {0x42C, {0x80, 0x00, 0x10, 0x64, 0x01, 0x08, 0xAA, 0xBB}, 2, 4, 5, "explicit",
       "explicit request from 0: request fragment 0 (first), 6 bytes: Set_Attribute_Single "
       "class 0x64 instance 1 attribute 8, 2 bytes"},
      {0x42C, {0x80, 0x85, 0x01, 0x02}, 2, 4, 5, "explicit",
       "explicit request from 0: request fragment 5 (last), 2 bytes"},
      {0x42B, {0x80, 0xC1, 0x00}, 2, 3, 5, "explicit",
       "explicit response to 0: fragment acknowledgement 1, status 0x00"},
      {0x41D, {0xA1, 0xB2}, 2, 5, 3, "poll", "poll command or outputs, 2 bytes"},
      {0x3C3, {0x00, 0x01, 0x02, 0x03}, 1, 15, 3, "poll",
       "poll response or acknowledgement of outputs, 4 bytes"},
      {0x400, {0xFF, 0, 0, 0, 0, 0, 0, 0}, 2, 0, 0, "strobe", "bit-strobe command, 8 bytes"},
      {0x383, {0x01}, 1, 14, 3, "strobe", "bit-strobe response, 1 byte"},
      {0x343, {0x07, 0x08}, 1, 13, 3, "cos", "change of state / cyclic production, 2 bytes"},
      {0x41A, {}, 2, 2, 3, "cos", "acknowledgement of a production, 0 bytes"},
      {0x780, {0x47, 0x4B, 0x00, 0x31}, 3, 6, 0, "explicit",
       "unconnected explicit request to 7: Open_Explicit_Connection body format 0, group 3 "
       "message 1"},
      {0x747, {0x40, 0xCB, 0x00, 0x10, 0x07, 0x00}, 3, 5, 7, "explicit",
       "unconnected explicit response to 0: Open_Explicit_Connection response, 4 bytes"},
      {0x647, {0x00, 0x8E, 0x05}, 3, 1, 7, "explicit",
       "connection message 1, explicit response to 0: Get_Attribute_Single response, 1 byte"},
      {0x7EF, {0x05, 0x4B, 0xE8, 0x03, 0x01, 0, 0, 0}, 4, 47, -1, "offline",
       "offline ownership request by 5"},
      {0x7EE, {0xCB, 0x07, 0xE8, 0x03, 0x01, 0, 0, 0}, 4, 46, -1, "offline",
       "offline ownership objection by 7"},
      {0x7ED, {0x3F, 0x4C}, 4, 45, -1, "offline", "offline request: check faulted nodes"},
      {0x7ED, {0x29, 0x4D, 0x85, 0x03, 0x88, 0x1A, 0x06, 0x00}, 4, 45, -1, "offline",
       "offline request: change MAC ID to 41 of vendor 901 serial 400008 (0x00061A88)"},
      {0x7EC, {0x3F, 0x85, 0x03, 0x88, 0x1A, 0x06, 0x00}, 4, 44, -1, "offline",
       "offline response: faulted node vendor 901 serial 400008 (0x00061A88)"},
      {0x7F5, {}, 0, 0, -1, "other", "invalid identifier"},
      {0x041, {}, 1, 1, 1, "other", "group 1 message 1, 0 bytes"},
  };
  // clang-format on
  for (const Case& c : cases) {
    const DecodedFrame decoded = DecodeFrame(c.id, c.data);
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.id);
    EXPECT_EQ(decoded.text, c.text);
    EXPECT_STREQ(decoded.kind, c.kind);
    EXPECT_EQ(decoded.group, c.group);
    EXPECT_EQ(decoded.message, c.message);
    EXPECT_EQ(decoded.mac, c.mac);
  }
  EXPECT_EQ(DecodeFrame(0x41C, {}, true).text, "explicit request, empty (remote frame)");
}

// Each form of a capture line: the frames shown, those of other formats counted, anything else
// bad (never a time stamp that is not a finite number).
TEST(CaptureLine, ReadsFramesAndTellsOtherFormatsFromBadLines) {
  struct {
    const char* line;
    uint32_t id;
    uint8_t len;
    bool rtr;
  } const frames[] = {
      {"(1733475212.123456) plant 42C#000E640101", 0x42C, 5, false},
      {"(1.5) can0 7FF#R2", 0x7FF, 2, true},
      {"(1.5) can0 123#r", 0x123, 0, true},
      {"(1.5)\tcan0  7EF#  \r", 0x7EF, 0, false},
  };
  for (const auto& c : frames) {
    SCOPED_TRACE(c.line);
    const CaptureEntry entry = ParseCaptureLine(c.line);
    EXPECT_EQ(entry.kind, CaptureKind::kFrame);
    EXPECT_EQ(entry.frame.id, c.id);
    EXPECT_EQ(entry.frame.len, c.len);
    EXPECT_EQ(entry.frame.rtr, c.rtr);
  }
  const std::pair<CaptureKind, std::vector<const char*>> others[] = {
      {CaptureKind::kExtended, {"(1.5) can0 12345678#DEADBEEF", "(1.5) can0 12345678#R"}},
      {CaptureKind::kFd, {"(1.5) can0 123##1DEADBEEF00112233445566778899"}},
      {CaptureKind::kBlank, {"   "}},
      {CaptureKind::kBad,
       {"(inf) can0 123#00", "(nan) can0 123#00", "(1e999) can0 123#00", "(1.5) can0 800#00",
        "(1.5) can0 123#R9", "(1.5) can0 123#001122334455667788", "(1.5) can0 123#0",
        "(1.5) can0 1234#00", "(1.5) can0 123##G00", "(1.5) can0 123#00 extra", "(1.5) can0",
        "1.5 can0 123#00"}},
  };
  for (const auto& [kind, lines] : others) {
    for (const char* line : lines) EXPECT_EQ(ParseCaptureLine(line).kind, kind) << line;
  }
  EXPECT_EQ(ParseCaptureLine("(2.25) plant 42C#000E640101").time, 2.25);
}

// A line longer than the bound comes once as too long and its rest is passed over in pieces, so
// that the reader holds no more than a buffer; the lines around it are read whole.
TEST(CaptureLine, ALineTooLongIsPassedOverInBoundedPieces) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const std::string too_long(3 * 4096 + 100, 'x');
  std::fprintf(file, "first\n%s\nlast", too_long.c_str());
  std::fflush(file);
  std::rewind(file);
  LineReader reader(fileno(file));
  std::string line;
  ASSERT_EQ(reader.Next(line), LineReader::Read::kLine);
  EXPECT_EQ(line, "first");
  EXPECT_EQ(reader.Next(line), LineReader::Read::kTooLong);
  int pieces = 0;
  LineReader::Read read;
  while ((read = reader.Next(line)) == LineReader::Read::kPassedOver) ++pieces;
  EXPECT_GE(pieces, 2);
  ASSERT_EQ(read, LineReader::Read::kLine);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(reader.Next(line), LineReader::Read::kEnd);
  std::fclose(file);
}

}  // namespace
}  // namespace dnm::tool
