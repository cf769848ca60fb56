#include "io/BitStrobeRequest.h"

#include "VELKCANDNM.h"
#include "api/Library.h"
#include "device/ConnectionKinds.h"
#include "io/Periods.h"
#include "platform/ThreadName.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

namespace dnm {

namespace {
constexpr uint8_t kServedBoards = 3;  // request threads exist for boards 0 to 2
}  // namespace

BitStrobeRequest::~BitStrobeRequest() {
  end_.Raise();
  { std::lock_guard lock(mutex_); }
  resumed_.notify_all();
  thread_.Join();
}

uint16_t BitStrobeRequest::Create() {
  const uint8_t port = port_.port_number();
  Trace("CANPort::CreateBitStrobeRequestThread( )   Port%d Created!", port);
  const auto run = [this] {
    platform::NameCurrentThread("dnm-strobe");
    Run();
  };
  if (port_.board_number() >= kServedBoards || !thread_.Create(run, false)) {
    TraceLine("CANPort_Info::CreateBitStrobeRequestThread( ) Created BitStrobe Thread Error");
    return DNM_CreateBitStrobeRequestThreadError;
  }
  if (!thread_.SetPriority(platform::ThreadPriority::Highest)) TraceLine("thread priority error");
  created_ = true;
  return 0;
}

uint16_t BitStrobeRequest::Resume() {
  const uint8_t port = port_.port_number();
  if (!created_) {
    Trace("CANPort::ResumeBitStrobeRequestThread( )   Port %d BitStrobeRequestThread not exist!",
          port);
    return DNM_BitStrobeRequestThreadNotExist;
  }
  {
    std::lock_guard lock(mutex_);
    if (!suspended_) {
      Trace(
          "CANPort::ResumeBitStrobeRequestThread( )   Port %d ResumeBitStrobeRequestThread Error!",
          port);
      return DNM_BitStrobeRequestResumeError;
    }
    suspended_ = false;
  }
  resumed_.notify_all();
  Trace("CANPort::ResumeBitStrobeRequestThread( )   Port %d ResumeBitStrobeRequestThread Success!",
        port);
  return 0;
}

uint16_t BitStrobeRequest::Suspend() {
  const uint8_t port = port_.port_number();
  if (!created_) {
    Trace("CANPort::SuspendBitStrobeRequestThread( )   Port %d BitStrobeRequestThread not exist!",
          port);
    return DNM_BitStrobeRequestThreadNotExist;
  }
  {
    std::lock_guard lock(mutex_);
    suspended_ = true;
  }
  Trace(
      "CANPort::SuspendBitStrobeRequestThread( )   Port %d SuspendBitStrobeRequestThread Success!",
      port);
  return 0;
}

void BitStrobeRequest::Destroy() {
  if (!created_) return;
  Suspend();
  end_.Raise();
  { std::lock_guard lock(mutex_); }
  resumed_.notify_all();
  thread_.Join();
  const uint8_t port = port_.port_number();
  Trace(
      "CANPort::TerminateBitStrobeRequestThread( )   Port %d TerminatBitStrobeRequestThread "
      "Success!",
      port);
  Trace("CANPort::CloseBitStrobeRequestThread( )   Port %d CloseThread Success!", port);
  created_ = false;
}

bool BitStrobeRequest::WaitWhileSuspended() {
  std::unique_lock lock(mutex_);
  resumed_.wait(lock, [&] { return !suspended_ || end_.Raised(); });
  return !end_.Raised();
}

void BitStrobeRequest::Run() {
  const uint8_t board = port_.board_number();
  const uint8_t port = port_.port_number();
  const uint8_t all[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  while (WaitWhileSuspended()) {
    // The master's MAC ID is read anew for every command.
    const uint32_t id = KindInfo(kBitStrobe).RequestId(port_.mac_id());
    Trace("BitStrobeRequest_Thread( ) Board %d  Port %d  ConnectionID %x ready to send", board,
          port, id);
    if (port_.SendLocked(id, 8, all, SendClass::kIo) != 0) {
      Trace("BitStrobeRequest_Thread( ) Board %d  Port %d  BitStrobeRequest SendCmd Error!", board,
            port);
      end_.SleepFor(500);
    } else {
      end_.SleepFor(BitStrobePeriod().load());
    }
  }
}

}  // namespace dnm
