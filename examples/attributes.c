/*
 * Reading and writing attributes, with error handling: connects to one
 * device, reads its product name, writes an attribute of its application
 * object and reads it back, then asks for an attribute the device does not
 * have and shows the error response it sent. Exit status 0 when every step
 * went as described.
 *
 *   VELKCAN_NETWORK=examples/attributes-network.txt build/bin/example_attributes
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep, clock_gettime */

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "VELKCANDNM.h"

enum { kBoard = 0, kPort = 0, kBaud500k = 0, kMasterMacId = 0, kDeviceMacId = 5 };
enum { kIdentityClass = 1, kProductName = 7, kApplicationClass = 0x64 };

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

/* Prints the failure with the code's name; returns 1 for success. */
static int Succeeded(const char* what, uint16_t code) {
  if (code != DNM_NoError) fprintf(stderr, "%s: %u %s\n", what, code, DNM_GetErrorText(code));
  return code == DNM_NoError;
}

static int WaitConnected(uint8_t mac, long timeout_ms) {
  for (long waited = 0; waited < timeout_ms; waited += 100) {
    if (DNM_GetDeviceStatus(kBoard, kPort, mac) == DNM_NoError) return 1;
    SleepMs(100);
  }
  return Succeeded("connection", DNM_GetDeviceStatus(kBoard, kPort, mac));
}

static int Connect(uint8_t mac) {
  return Succeeded("DNM_ActiveBoard", DNM_ActiveBoard(kBoard)) &&
         Succeeded("DNM_Online", DNM_Online(kBoard, kPort, kBaud500k, kMasterMacId)) &&
         Succeeded("DNM_AddDevice", DNM_AddDevice(kBoard, kPort, mac, 0)) &&
         Succeeded("DNM_ConfigExplicitMsg", DNM_ConfigExplicitMsg(kBoard, kPort, mac, 3)) &&
         Succeeded("DNM_StartDevice", DNM_StartDevice(kBoard, kPort, mac)) &&
         WaitConnected(mac, 10000);
}

static int PrintProductName(uint8_t mac) {
  uint8_t value[64];
  uint32_t length = 0;
  const uint16_t code =
      DNM_GetAttribute(kBoard, kPort, mac, kIdentityClass, 1, kProductName, value, &length);
  if (!Succeeded("get product name", code)) return 0;
  /* A SHORT_STRING: its length, then its characters. */
  printf("product name: %.*s\n", (int)value[0], (const char*)value + 1);
  return 1;
}

static int WriteAndReadBack(uint8_t mac) {
  const uint8_t written[3] = {0x12, 0x34, 0x56};
  uint8_t read[64];
  uint32_t length = 0;
  if (!Succeeded("set", DNM_SetAttribute(kBoard, kPort, mac, kApplicationClass, 1, 1, written,
                                         sizeof written)) ||
      !Succeeded("get",
                 DNM_GetAttribute(kBoard, kPort, mac, kApplicationClass, 1, 1, read, &length))) {
    return 0;
  }
  const int same = length == sizeof written && memcmp(read, written, sizeof written) == 0;
  printf("attribute 0x64/1/1 written and read back: %s\n", same ? "same" : "different");
  return same;
}

/* A get of an attribute the device lacks: it answers with an error response,
 * whose status bytes say why (0x14: attribute not supported). */
static int ShowErrorResponse(uint8_t mac) {
  uint8_t value[64];
  uint32_t length = 0;
  const uint16_t code =
      DNM_GetAttribute(kBoard, kPort, mac, kApplicationClass, 1, 99, value, &length);
  if (code != DNM_GetAttributeResponseError) return !Succeeded("get missing attribute", code);
  uint8_t general = 0;
  uint8_t additional = 0;
  if (!Succeeded("DNM_GetLastErrorResponse",
                 DNM_GetLastErrorResponse(kBoard, kPort, mac, &general, &additional))) {
    return 0;
  }
  printf("attribute 0x64/1/99: %s, general status 0x%02X, additional 0x%02X\n",
         DNM_GetErrorText(code), general, additional);
  return general == 0x14;
}

int main(void) {
  const int ok = Connect(kDeviceMacId) && PrintProductName(kDeviceMacId) &&
                 WriteAndReadBack(kDeviceMacId) && ShowErrorResponse(kDeviceMacId);
  DNM_CloseBoard(kBoard);
  return ok ? 0 : 1;
}
