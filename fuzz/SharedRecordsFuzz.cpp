// Bytes of any kind as what an attached process writes to a shared segment's host, and as what a
// host writes to an attached process. The host reads them through a socket like any connection:
// it answers in whole, sound records (the greeting first, refusals with a reason it names, own
// frames at a rate the card runs at) and ends the connection when the bytes end, never later.
// The attached side takes each record a reader would (up to the first malformed one); neither
// side may crash, divide by zero or overflow on any field.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "BitTiming.h"
#include "SharedSegment.h"
#include "SharedSocket.h"
#include "TestNode.h"

namespace {

using namespace vcan;

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// Built once: their threads run for the rest of the process, like the card's.
struct Sides {
  Sides() {
    host_segment->Attach(host_node);
    int pair[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    uplink = std::make_shared<SharedUplink>(*attached_segment, "unused", pair[0],
                                            SharedAccess::OwnerOnly());
    attached_segment->SetUplink(uplink);
    attached_segment->Attach(attached_node);
  }
  Segment* host_segment = new Segment("host");
  std::shared_ptr<SharedHost> host = Start(*host_segment);
  std::shared_ptr<TestNode> host_node = std::make_shared<TestNode>("node", *host_segment, 500'000);
  Segment* attached_segment = new Segment("attached");
  std::shared_ptr<SharedUplink> uplink;
  std::shared_ptr<TestNode> attached_node =
      std::make_shared<TestNode>("node", *attached_segment, 500'000);

  static std::shared_ptr<SharedHost> Start(Segment& segment) {
    auto host = std::make_shared<SharedHost>(segment, -1, SharedAccess::OwnerOnly());
    segment.AddTap(host);
    host->Start();
    return host;
  }
};

void CheckAnswer(const wire::Record& record, bool first) {
  const bool version_refused =
      record.type == wire::Type::kRefused && wire::RefusalOf(record) == wire::Refusal::kVersion;
  Check(first ? wire::IsHello(record) || version_refused : record.type != wire::Type::kHello);
  if (record.type == wire::Type::kCarried) Check(SupportedBaud(record.baud));
  if (record.type == wire::Type::kRefused) {
    const auto why = wire::RefusalOf(record);
    Check(why == wire::Refusal::kNodes || why == wire::Refusal::kRate ||
          why == wire::Refusal::kVersion);
  }
}

void FeedHost(Sides& sides, const uint8_t* data, size_t size) {
  int pair[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  sides.host->Adopt(pair[1]);
  Check(send(pair[0], data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size));
  shutdown(pair[0], SHUT_WR);
  timeval limit{5, 0};
  setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  bool first = true;
  wire::Bytes bytes{};
  size_t got = 0;
  for (;;) {
    const ssize_t n = recv(pair[0], bytes.data() + got, bytes.size() - got, 0);
    // A host that closes on a malformed record leaves bytes unread: the reset comes after what
    // it wrote. One that does not close when the bytes end times out here.
    if (n < 0) Check(errno == ECONNRESET);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got < bytes.size()) continue;
    got = 0;
    const auto record = wire::Decode(bytes);
    Check(record.has_value());
    CheckAnswer(*record, first);
    first = false;
  }
  close(pair[0]);  // a record cut short by the close is no answer
}

void FeedUplink(Sides& sides, const uint8_t* data, size_t size) {
  for (size_t at = 0; size - at >= wire::kRecordSize; at += wire::kRecordSize) {
    wire::Bytes bytes;
    std::copy(data + at, data + at + bytes.size(), bytes.begin());
    const auto record = wire::Decode(bytes);
    if (!record) break;
    sides.uplink->Take(*record);
  }
  for (CANMsg in{}; sides.attached_node->Receive(in, std::chrono::milliseconds(0)) == 0;) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sides sides;
  FeedHost(sides, data, size);
  FeedUplink(sides, data, size);
  return 0;
}
