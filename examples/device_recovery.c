/*
 * Recovering from a device that drops off: reads a device's serial number
 * every half second. When the device stops answering (here its cable is
 * pulled for 11 s, longer than its connection's watchdog, so it forgets
 * the connection), the calls fail; the library notices the connection is
 * lost and sets it up again once the device is back. The application only
 * has to keep asking and wait for DNM_GetDeviceStatus to give 0. Exit status
 * 0 when the device dropped off and came back.
 *
 *   VELKCAN_NETWORK=examples/device_recovery-network.txt build/bin/example_device_recovery
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep, clock_gettime */

#include <stdio.h>
#include <time.h>

#include "VELKCANDNM.h"

enum { kBoard = 0, kPort = 0, kBaud500k = 0, kMasterMacId = 0, kDeviceMacId = 4 };
enum { kIdentityClass = 1, kSerialNumber = 6, kPeriodMs = 500 };

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static int Succeeded(const char* what, uint16_t code) {
  if (code != DNM_NoError) fprintf(stderr, "%s: %u %s\n", what, code, DNM_GetErrorText(code));
  return code == DNM_NoError;
}

/* Waits until every configured connection of the device stands. */
static int WaitConnected(long timeout_ms) {
  for (long waited = 0; waited < timeout_ms; waited += kPeriodMs) {
    if (DNM_GetDeviceStatus(kBoard, kPort, kDeviceMacId) == DNM_NoError) return 1;
    SleepMs(kPeriodMs);
  }
  return 0;
}

static int Connect(void) {
  return Succeeded("DNM_ActiveBoard", DNM_ActiveBoard(kBoard)) &&
         Succeeded("DNM_Online", DNM_Online(kBoard, kPort, kBaud500k, kMasterMacId)) &&
         Succeeded("DNM_AddDevice", DNM_AddDevice(kBoard, kPort, kDeviceMacId, 0)) &&
         Succeeded("DNM_ConfigExplicitMsg",
                   DNM_ConfigExplicitMsg(kBoard, kPort, kDeviceMacId, 3)) &&
         Succeeded("DNM_StartDevice", DNM_StartDevice(kBoard, kPort, kDeviceMacId)) &&
         WaitConnected(10000);
}

static uint16_t ReadSerialNumber(void) {
  uint8_t value[64];
  uint32_t length = 0;
  return DNM_GetAttribute(kBoard, kPort, kDeviceMacId, kIdentityClass, 1, kSerialNumber, value,
                          &length);
}

/* Reads until a read fails; returns 1 when one did within timeout_ms. */
static int UntilDropped(long timeout_ms) {
  const double start = Seconds();
  while ((Seconds() - start) * 1000 < timeout_ms) {
    const uint16_t code = ReadSerialNumber();
    if (code != DNM_NoError) {
      printf("the device stopped answering: %u %s\n", code, DNM_GetErrorText(code));
      return 1;
    }
    SleepMs(kPeriodMs);
  }
  return 0;
}

/* Waits for the library to have set the connection up again, and for a
 * read to succeed. */
static int UntilBack(long timeout_ms) {
  const double start = Seconds();
  while ((Seconds() - start) * 1000 < timeout_ms) {
    if (WaitConnected(kPeriodMs) && ReadSerialNumber() == DNM_NoError) {
      printf("the device answers again, %.1f s later\n", Seconds() - start);
      return 1;
    }
  }
  return 0;
}

int main(void) {
  const int ok = Connect() && UntilDropped(15000) && UntilBack(30000);
  printf("explicit requests unanswered: %u\n",
         (unsigned)DNM_GetExplicitMsgNoResponse(kBoard, kPort, kDeviceMacId));
  DNM_CloseBoard(kBoard);
  return ok ? 0 : 1;
}
