/*
 * Polled I/O: connects to an I/O block over a poll connection, writes its
 * outputs and reads its inputs a few times. The block of this example's
 * network answers each poll with the outputs it was sent, so the inputs
 * follow the outputs one poll later. Exit status 0 when they did.
 *
 *   VELKCAN_NETWORK=examples/polled_io-network.txt build/bin/example_polled_io
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep, clock_gettime */

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "VELKCANDNM.h"

enum { kBoard = 0, kPort = 0, kBaud500k = 0, kMasterMacId = 0 };
enum { kBlockMacId = 3, kInputSize = 4, kOutputSize = 4, kRounds = 3 };

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static int Succeeded(const char* what, uint16_t code) {
  if (code != DNM_NoError) fprintf(stderr, "%s: %u %s\n", what, code, DNM_GetErrorText(code));
  return code == DNM_NoError;
}

/* The poll connection stands once the library has set it up and found the
 * device's connection sizes equal to the configured ones (1908 or 1909
 * otherwise). Within a second as a rule; a set-up request whose answer is
 * lost is asked again after its 3 s wait and a 3 s pause, hence 10 s. */
static int WaitPollConnection(long timeout_ms) {
  for (long waited = 0; waited < timeout_ms; waited += 100) {
    if (DNM_CheckPollConnectionStatus(kBoard, kPort, kBlockMacId) == DNM_NoError) return 1;
    SleepMs(100);
  }
  return Succeeded("poll connection", DNM_CheckPollConnectionStatus(kBoard, kPort, kBlockMacId));
}

static int Start(void) {
  return Succeeded("DNM_ActiveBoard", DNM_ActiveBoard(kBoard)) &&
         Succeeded("DNM_Online", DNM_Online(kBoard, kPort, kBaud500k, kMasterMacId)) &&
         Succeeded("DNM_AddDevice", DNM_AddDevice(kBoard, kPort, kBlockMacId, 0)) &&
         Succeeded("DNM_ConfigPoll",
                   DNM_ConfigPoll(kBoard, kPort, kBlockMacId, kInputSize, kOutputSize, 0, 0)) &&
         Succeeded("DNM_StartDevice", DNM_StartDevice(kBoard, kPort, kBlockMacId)) &&
         WaitPollConnection(10000);
}

/* Reads the inputs until they echo the outputs, for up to 2 s: the echo
 * comes with the answer to the first poll that carried the outputs, one or
 * two poll periods (100 ms each) after the write, later on a busy machine. */
static int ReadEcho(const uint8_t* outputs, uint8_t* inputs) {
  for (int waited = 0; waited <= 2000; waited += 100) {
    SleepMs(100);
    uint32_t length = 0;
    if (!Succeeded("read", DNM_ReadPollInputData(kBoard, kPort, kBlockMacId, inputs, &length)))
      return 0;
    if (length == kInputSize && memcmp(inputs, outputs, kInputSize) == 0) return 1;
  }
  return 0;
}

/* Writes outputs and checks that the inputs echo them. */
static int ExchangeRound(uint8_t round) {
  const uint8_t outputs[kOutputSize] = {round, (uint8_t)(round * 2), 0xA5, 0x5A};
  if (!Succeeded("write",
                 DNM_WritePollOutputData(kBoard, kPort, kBlockMacId, outputs, kOutputSize))) {
    return 0;
  }
  uint8_t inputs[64] = {0};
  const int echoed = ReadEcho(outputs, inputs);
  printf("round %u: outputs %02X %02X %02X %02X, inputs %02X %02X %02X %02X\n", round, outputs[0],
         outputs[1], outputs[2], outputs[3], inputs[0], inputs[1], inputs[2], inputs[3]);
  return echoed;
}

int main(void) {
  int ok = Start();
  for (uint8_t round = 1; ok && round <= kRounds; ++round) ok = ExchangeRound(round);
  printf("polls unanswered: %u\n", (unsigned)DNM_GetPollNoResponse(kBoard, kPort, kBlockMacId));
  DNM_CloseBoard(kBoard);
  return ok ? 0 : 1;
}
