// A poll connection's answers fed with frames of any kind while the connection's input size
// changes and polls go out, interleaved, over a clock that moves on. Each answer keeps the size
// it began with: nothing is written outside its area, a good answer has exactly that size and is
// made of exactly the frames its sender would have sent, a frame is taken only before the
// answer is over and the wait runs out only by its deadline.
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "VELKCANDNM.h"
#include "io/PollAnswer.h"

namespace {

constexpr uint32_t kId = 0x3C5;

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

bool SameFrame(const CANMsg& a, const CANMsg& b) {
  return a.len == b.len && std::memcmp(a.data, b.data, a.len) == 0;
}

// The frames taken make up the message of the answer's length, as its sender splits it.
void CheckGoodAnswer(const dnm::PollAnswer& answer, size_t begun_with,
                     const std::vector<CANMsg>& taken) {
  Check(answer.length() == begun_with);
  const dnm::IoFrames expected = dnm::SplitIoMessage(kId, answer.message(), answer.length());
  Check(expected.count == taken.size());
  for (size_t i = 0; i < taken.size(); ++i) Check(SameFrame(expected.frames[i], taken[i]));
}

struct Connection {
  uint16_t input_size = 0;  // as the application configures it, at any time
  uint32_t now = 0;
  std::unique_ptr<dnm::PollAnswer> answer;
  size_t begun_with = 0;
  std::vector<CANMsg> taken;

  void Poll() {
    begun_with = input_size < dnm::kMaxIoMessage ? input_size : dnm::kMaxIoMessage;
    answer = std::make_unique<dnm::PollAnswer>(begun_with, now);
    taken.clear();
  }

  void Hand(const CANMsg& frame) {
    const bool was_over = answer->over();
    const uint32_t deadline = answer->deadline();
    const dnm::PollAnswer::Step step = answer->Take(frame, now);
    Check(!was_over || (!step.taken && !step.outcome));
    if (step.taken) taken.push_back(frame);
    if (!step.outcome) return;
    Check(answer->over());
    if (step.outcome->result == DNM_PollNoResponse) {
      Check(!step.taken && step.outcome->at == deadline &&
            static_cast<int32_t>(now - deadline) >= 0);
    } else {
      Check(step.taken && static_cast<int32_t>(now - deadline) < 0);
    }
    if (step.outcome->result == 0) CheckGoodAnswer(*answer, begun_with, taken);
  }

  void Look() {
    const bool was_over = answer->over();
    const uint32_t deadline = answer->deadline();
    const auto missed = answer->Missed(now);
    Check(!missed || (!was_over && static_cast<int32_t>(now - deadline) >= 0 &&
                      missed->result == DNM_PollNoResponse && missed->at == deadline));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  Connection connection;
  connection.input_size = input.Byte();
  connection.Poll();
  while (!input.empty()) {
    switch (input.Byte() % 5) {
      case 0:
        connection.input_size = input.Word();
        break;
      case 1:
        connection.Poll();
        break;
      case 2:
        connection.now += input.Word();
        connection.Look();
        break;
      default:
        connection.Hand(input.Frame(kId));
        break;
    }
  }
  return 0;
}
