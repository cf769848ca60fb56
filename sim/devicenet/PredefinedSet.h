// The predefined master/slave connection set of a group-2-only server: the explicit connection
// (instance 1) and the I/O connections poll (2), bit-strobe (3) and COS or cyclic (4), which one
// master at a time allocates and releases by choice bits.
//
// - Allocate: a choice of 0, with bits the slave does not support, or with COS and cyclic
//   together (or the other of the two while one is held) is an invalid parameter; while any
//   connection is allocated to another master the set is in an object state conflict.
//   Allocating a bit the same master already holds is refused as already in the requested state
//   (a master that missed the answer must release first); a lenient slave allows it and changes
//   nothing.
// - Release: undefined bits are an invalid parameter and another master's set is a conflict;
//   otherwise the held bits among the choice are released, and a choice naming a bit not held
//   is answered with an object state conflict all the same (a lenient slave passes such bits
//   over and succeeds). When no bit is left, the set has no master any more.
// - When the explicit connection's watchdog ends it, its bit is cleared; a deferred delete waits
//   until the I/O connections are released (at once when there are none). When an I/O
//   connection's watchdog deletes it, its bit is cleared too; one that timed out keeps its bit
//   until released.
// - I/O frames: bit-strobe commands of the master holding the bit-strobe connection go to that
//   one, acknowledgements of productions on the slave's group 2 message 2 to the change of
//   state or cyclic connection. Frames on the slave's group 2 message 5 carry outputs: to the
//   poll connection, or, while the master holds change of state or cyclic without poll, to
//   that connection.
#pragma once

#include <optional>

#include "CosCyclicConnection.h"
#include "ExplicitConnection.h"
#include "IoConnection.h"
#include "SlaveSettings.h"

namespace dnsim {

class PredefinedSet {
 public:
  PredefinedSet(SlaveContext& context, const IoSettings& io);

  uint8_t Allocate(uint8_t choice, uint8_t master);  // general status
  uint8_t Release(uint8_t choice, uint8_t requester);
  // As after power-up: every connection gone, no bit held, no master.
  void Free();

  uint8_t allocated() const { return allocated_; }
  std::optional<uint8_t> master() const { return master_; }
  const ExplicitConnection& explicit_connection() const { return explicit_; }
  const PollConnection& poll_connection() const { return poll_; }
  const StrobeConnection& strobe_connection() const { return strobe_; }
  const CosCyclicConnection& cos_cyclic_connection() const { return cos_cyclic_; }
  Connection* Find(uint16_t instance);

  // A frame on the explicit request identifier; false when no connection takes it.
  bool ReceiveExplicit(std::span<const uint8_t> data);
  // The I/O connection a group 2 frame is for, null when it is none for this slave.
  IoConnection* IoCommandTarget(const MessageAddress& address);
  // After anything that may change the data the slave produces.
  void CheckChangeOfState() { cos_cyclic_.CheckChangeOfState(); }

 private:
  bool IsValidAllocation(uint8_t choice) const;
  Connection& ConnectionFor(uint8_t choice_bit);
  IoConnection& IoConnectionFor(uint8_t choice_bit);
  IoConnection& OutputsTarget();
  void Open(uint8_t choice_bit);
  void Clear(uint8_t choice_bits);
  void OnExplicitEnded();

  SlaveContext& context_;
  const uint8_t supported_;
  ExplicitConnection explicit_;
  PollConnection poll_;
  StrobeConnection strobe_;
  CosCyclicConnection cos_cyclic_;
  uint8_t allocated_ = 0;
  std::optional<uint8_t> master_;
};

}  // namespace dnsim
