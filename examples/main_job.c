/*
 * A small application of the master library on the virtual CAN card:
 * prints the library version and the number of boards, then activates and
 * closes each board. Run it with HYPERTRACE_FILE=stderr to see the trace.
 */
#include <stdio.h>

#include "VELKCANDNM.h"

int main(void) {
  printf("DeviceNet master library version %.1f\n", (double)DNM_GetVersion());
  const int32_t boards = DNM_TotalBoard();
  printf("boards on the card: %d\n", (int)boards);
  for (int32_t b = 0; b < boards; ++b) {
    const uint16_t activated = DNM_ActiveBoard((uint8_t)b);
    printf("board %d: DNM_ActiveBoard -> %u\n", (int)b, (unsigned)activated);
    const uint16_t closed = DNM_CloseBoard((uint8_t)b);
    printf("board %d: DNM_CloseBoard  -> %u\n", (int)b, (unsigned)closed);
  }
  return 0;
}
