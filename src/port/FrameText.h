// Expands to the twelve values that frame trace lines print: identifier,
// mode, RTR, length and the eight data bytes.
#pragma once

#define DNM_FRAME_FIELDS(m)                                                               \
  (m).id, (m).mode, (m).rtr, (m).len, (m).data[0], (m).data[1], (m).data[2], (m).data[3], \
      (m).data[4], (m).data[5], (m).data[6], (m).data[7]

#define DNM_FRAME_FORMAT "%x %x %x %x %x %x %x %x %x %x %x %x"
