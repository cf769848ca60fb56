/*
 * Change of state: connects to a sensor over a COS connection. The sensor
 * sends its inputs when they change, at the latest every expected packet
 * rate (its heartbeat); the library acknowledges each and answers it with
 * the outputs. The sensor of this example's network takes the outputs as
 * its next inputs, so writing outputs makes its inputs change. Exit status
 * 0 when the inputs followed the outputs.
 *
 *   VELKCAN_NETWORK=examples/cos-network.txt build/bin/example_cos
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep, clock_gettime */

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "VELKCANDNM.h"

enum { kBoard = 0, kPort = 0, kBaud500k = 0, kMasterMacId = 0 };
enum { kSensorMacId = 9, kSize = 2, kHeartbeatMs = 1000 };

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static int Succeeded(const char* what, uint16_t code) {
  if (code != DNM_NoError) fprintf(stderr, "%s: %u %s\n", what, code, DNM_GetErrorText(code));
  return code == DNM_NoError;
}

static int WaitCosConnection(long timeout_ms) {
  for (long waited = 0; waited < timeout_ms; waited += 100) {
    if (DNM_CheckCOSConnectionStatus(kBoard, kPort, kSensorMacId) == DNM_NoError) return 1;
    SleepMs(100);
  }
  return Succeeded("COS connection", DNM_CheckCOSConnectionStatus(kBoard, kPort, kSensorMacId));
}

static int Start(void) {
  return Succeeded("DNM_ActiveBoard", DNM_ActiveBoard(kBoard)) &&
         Succeeded("DNM_Online", DNM_Online(kBoard, kPort, kBaud500k, kMasterMacId)) &&
         Succeeded("DNM_AddDevice", DNM_AddDevice(kBoard, kPort, kSensorMacId, 0)) &&
         Succeeded("DNM_ConfigCOS",
                   DNM_ConfigCOS(kBoard, kPort, kSensorMacId, kSize, kSize, 0, kHeartbeatMs, 0)) &&
         Succeeded("DNM_StartDevice", DNM_StartDevice(kBoard, kPort, kSensorMacId)) &&
         WaitCosConnection(10000);
}

/* Writes outputs and reads the inputs until they show them, at most 3 s. */
static int InputsFollow(uint8_t first, uint8_t second) {
  const uint8_t outputs[kSize] = {first, second};
  if (!Succeeded("write", DNM_WriteCOSOutputData(kBoard, kPort, kSensorMacId, outputs, kSize)))
    return 0;
  uint8_t inputs[64] = {0};
  uint32_t length = 0;
  for (long waited = 0; waited < 3000; waited += 50) {
    if (!Succeeded("read", DNM_ReadCOSInputData(kBoard, kPort, kSensorMacId, inputs, &length)))
      return 0;
    if (length == kSize && memcmp(inputs, outputs, kSize) == 0) {
      printf("outputs %02X %02X came back as inputs after about %ld ms\n", first, second, waited);
      return 1;
    }
    SleepMs(50);
  }
  fprintf(stderr, "inputs still %02X %02X\n", inputs[0], inputs[1]);
  return 0;
}

int main(void) {
  const int ok = Start() && InputsFollow(0x12, 0x34) && InputsFollow(0xBE, 0xEF);
  DNM_CloseBoard(kBoard);
  return ok ? 0 : 1;
}
