#include "IoSlave.h"

#include "io/IoFragmentation.h"

namespace dnm::test {

namespace {

constexpr uint8_t kMaster = 0;
using Frames = std::vector<CANMsg>;

Frames AsFrames(const IoFrames& frames) {
  return Frames(frames.frames.begin(), frames.frames.begin() + frames.count);
}

CANMsg Reply(const IoSlaveSettings& s, std::vector<uint8_t> data) {
  return MakeFrame(s.ucmm ? 0x600u + s.mac : 0x403u + s.mac * 8u, data);
}

uint16_t Reported(const std::atomic<int>& report, const std::atomic<int>& real) {
  return static_cast<uint16_t>(report.load() >= 0 ? report.load() : real.load());
}

// The library's explicit requests on the connection (they carry the XID).
Frames Serve(IoSlaveSettings& s, const CANMsg& m) {
  const uint8_t service = m.data[1];
  const uint8_t instance = m.data[3];
  const uint8_t attribute = m.data[4];
  if (service == 0x4B && s.refuse_allocation) return {Reply(s, {0x40, 0x94, 0x02, 0xFF})};
  if (service == 0x4B || service == 0x4C) return {Reply(s, {0x40, uint8_t(service | 0x80), 0})};
  if (service == 0x10) return {Reply(s, {0x40, 0x90})};
  if (service != 0x0E) return {};
  uint16_t value = 3;  // the explicit connection's state
  // The COS/cyclic instance reports the same sizes as the poll instance.
  const bool io = instance == 2 || instance == 4;
  if (io && attribute == 7) value = Reported(s.report_produced, s.produced);
  if (io && attribute == 8) value = Reported(s.report_consumed, s.consumed);
  if (instance == 3 && attribute == 7) value = static_cast<uint16_t>(s.strobe_produced.load());
  if (instance == 3 && attribute == 8) value = 8;
  return {Reply(s, {0x40, 0x8E, uint8_t(value & 0xFF), uint8_t(value >> 8)})};
}

}  // namespace

std::vector<uint8_t> IoInput(uint8_t first, size_t length) {
  std::vector<uint8_t> input(length);
  for (size_t i = 0; i < length; ++i) input[i] = static_cast<uint8_t>(i == 0 ? first : i);
  return input;
}

Responder::Script IoSlave(std::shared_ptr<IoSlaveSettings> settings) {
  return [settings](const CANMsg& m) -> Frames {
    IoSlaveSettings& s = *settings;
    const uint32_t request = s.ucmm ? 0x600u + kMaster : 0x404u + s.mac * 8u;
    if (!s.ucmm && m.id == 0x406u + s.mac * 8u)
      return {MakeFrame(0x403u + s.mac * 8u, {0x40, uint8_t(m.data[1] | 0x80), 0x00})};
    if (s.ucmm && m.id == 0x780u + kMaster && (m.data[0] & 0x3F) == s.mac)
      return {MakeFrame(0x740u + s.mac, {0x40, uint8_t(m.data[1] | 0x80), 0x00, 0x00, 0x07})};
    if (m.id == request && (m.data[0] & 0xC0) == 0x40 && (s.ucmm || (m.data[0] & 0x3F) == 0)) {
      if (!s.ucmm || (m.data[0] & 0x3F) == s.mac) return Serve(s, m);
    }
    if (s.io_silent) return {};
    // A fragmented poll command is answered after its last fragment.
    const bool whole = s.consumed.load() <= 8 || (m.data[0] & 0xC0) == 0x80;
    if (m.id == 0x405u + s.mac * 8u && whole) {
      const auto input = IoInput(s.first_input, static_cast<size_t>(s.produced.load()));
      return AsFrames(SplitIoMessage(0x3C0u + s.mac, input.data(), input.size()));
    }
    if ((m.id & 0x407u) == 0x400u && m.len == 8) {  // a bit-strobe command
      const auto input = IoInput(s.first_input, static_cast<size_t>(s.strobe_produced.load()));
      return {MakeFrame(0x380u + s.mac, input)};
    }
    return {};
  };
}

}  // namespace dnm::test
