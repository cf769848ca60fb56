/* Checks an installed copy of the library: the version it reports is the
 * package's (EXPECTED_VERSION), and the master found the card driver beside
 * it (the virtual card has one board, which can be activated and closed). */
#include <stdio.h>
#include <stdlib.h>

#include "VELKCANDNM.h"

int main(void) {
  const float expected = strtof(EXPECTED_VERSION, NULL);
  const float version = DNM_GetVersion();
  if (version != expected) {
    fprintf(stderr, "DNM_GetVersion() = %g, package version %s\n", version, EXPECTED_VERSION);
    return 1;
  }
  if (DNM_TotalBoard() < 1 || DNM_ActiveBoard(0) != DNM_NoError ||
      DNM_CloseBoard(0) != DNM_NoError) {
    fprintf(stderr, "no usable board: the card driver was not found beside the master\n");
    return 1;
  }
  printf("version %s, %d board(s)\n", EXPECTED_VERSION, (int)DNM_TotalBoard());
  return 0;
}
