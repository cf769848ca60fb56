#include "Responder.h"

namespace dnm::test {

Responder::Responder(const VirtualCard& card, uint8_t board, uint8_t port, Script script)
    : card_(card), node_(card.Attach(board, port)), script_(std::move(script)) {
  thread_ = std::thread([this] { Run(); });
}

Responder::~Responder() {
  stop_ = true;
  thread_.join();
}

void Responder::Run() {
  CANMsg msg{};
  while (!stop_) {
    if (!card_.Receive(node_, msg, 50)) continue;
    Script script;
    {
      std::lock_guard lock(mutex_);
      heard_.push_back({msg, std::chrono::steady_clock::now()});
      script = script_;
    }
    if (!script) continue;
    for (const CANMsg& answer : script(msg)) card_.Send(node_, answer);
  }
}

std::vector<HeardFrame> Responder::Heard() const {
  std::lock_guard lock(mutex_);
  return heard_;
}

std::vector<HeardFrame> Responder::HeardWith(uint32_t id, std::optional<uint8_t> service) const {
  std::vector<HeardFrame> found;
  for (const HeardFrame& frame : Heard()) {
    if (frame.msg.id == id && (!service || (frame.msg.len > 1 && frame.msg.data[1] == *service)))
      found.push_back(frame);
  }
  return found;
}

bool Responder::WaitFor(uint32_t id, std::optional<uint8_t> service, size_t count,
                        uint32_t timeout_ms) const {
  return Eventually([&] { return HeardWith(id, service).size() >= count; },
                    static_cast<int>(timeout_ms), 10);
}

void Responder::SetScript(Script script) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

}  // namespace dnm::test
