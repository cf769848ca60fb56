// What ties a segment to the world outside its process. A tap sees every frame the segment
// carries (the host of a shared segment forwards them to the processes attached to it). An
// uplink replaces the segment's own bus when another process hosts it: frames the local nodes
// send go to the host, and the host's carried frames come back through Segment::Deliver.
#pragma once

#include <cstdint>

#include "Frame.h"

namespace vcan {

class Node;

class SegmentTap {
 public:
  virtual ~SegmentTap() = default;
  // On the bus thread at the end of each frame, before the receivers get it. Must not block.
  virtual void OnCarried(const Frame& frame, uint32_t baud, const Node& sender) = 0;
  // Frames the tap could not pass on (a stalled reader).
  virtual uint64_t drops() const { return 0; }
};

class SegmentUplink {
 public:
  virtual ~SegmentUplink() = default;
  virtual bool connected() const = 0;
  // Hands a frame of the local node `tag` to the host; false when it could not be sent.
  virtual bool Send(uint32_t tag, const Frame& frame, uint32_t baud) = 0;
  // The local node `tag` dropped the frames it had queued.
  virtual void Drop(uint32_t tag) = 0;
  virtual uint64_t drops() const { return 0; }
};

}  // namespace vcan
