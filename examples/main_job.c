/*
 * An application of the master library on the virtual CAN card: brings
 * port 0 of board 0 online, lists the devices that answer on the network,
 * connects to each of them, prints their connection status and identity,
 * then stops and closes. scripts/run-example.sh runs it on the network in
 * examples/network.txt with the trace on the terminal.
 */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "VELKCANDNM.h"

enum { kBoard = 0, kPort = 0, kMasterMacId = 0, kBaud500k = 0 };

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static int Check(const char* what, uint16_t code) {
  printf("%-34s -> %u\n", what, (unsigned)code);
  return code == DNM_NoError;
}

/* Waits up to timeout_ms for every listed device's explicit connection. */
static int WaitConnected(const uint8_t* macs, int count, long timeout_ms) {
  for (long waited = 0; waited <= timeout_ms; waited += 100) {
    int connected = 0;
    for (int i = 0; i < count; ++i) {
      connected += DNM_CheckExplicitMsgConnectionStatus(kBoard, kPort, macs[i]) == DNM_NoError;
    }
    if (connected == count) return 1;
    SleepMs(100);
  }
  return 0;
}

static uint32_t Little(const uint8_t* bytes, uint32_t length) {
  uint32_t value = 0;
  for (uint32_t i = length; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

/* Reads one Identity attribute; returns its length, or -1. */
static int Identity(uint8_t mac, uint8_t attribute, uint8_t* value) {
  uint32_t length = 0;
  const uint16_t code = DNM_GetAttribute(kBoard, kPort, mac, 1, 1, attribute, value, &length);
  return code == DNM_NoError ? (int)length : -1;
}

static void PrintIdentity(uint8_t mac) {
  uint8_t value[64];
  int n = Identity(mac, 1, value);
  const uint32_t vendor = n > 0 ? Little(value, (uint32_t)n) : 0;
  n = Identity(mac, 3, value);
  const uint32_t product_code = n > 0 ? Little(value, (uint32_t)n) : 0;
  n = Identity(mac, 6, value);
  const uint32_t serial = n > 0 ? Little(value, (uint32_t)n) : 0;
  char name[64] = "?";
  n = Identity(mac, 7, value);
  if (n > 0 && value[0] < n) {
    memcpy(name, value + 1, value[0]);
    name[value[0]] = '\0';
  }
  printf("  MAC ID %2u: vendor %u, product code %u, serial number %u, product \"%s\"\n",
         (unsigned)mac, (unsigned)vendor, (unsigned)product_code, (unsigned)serial, name);
}

int main(void) {
  printf("DeviceNet master library version %.1f, %d board(s) on the card\n",
         (double)DNM_GetVersion(), (int)DNM_TotalBoard());
  if (!Check("DNM_ActiveBoard", DNM_ActiveBoard(kBoard))) return 1;
  if (!Check("DNM_Online (MAC ID 0, 500 kbit/s)",
             DNM_Online(kBoard, kPort, kBaud500k, kMasterMacId))) {
    DNM_CloseBoard(kBoard);
    return 1;
  }

  uint8_t macs[64];
  uint8_t count = 0;
  Check("DNM_GetAllDeviceMACID", DNM_GetAllDeviceMACID(kBoard, kPort, macs, &count));
  printf("devices that answer:");
  for (int i = 0; i < count; ++i) printf(" %u", (unsigned)macs[i]);
  printf("\n");

  for (int i = 0; i < count; ++i) {
    DNM_AddDevice(kBoard, kPort, macs[i], 0);
    DNM_ConfigExplicitMsg(kBoard, kPort, macs[i], 3);
  }
  Check("DNM_StartCommunicate", DNM_StartCommunicate(kBoard, kPort));
  printf(WaitConnected(macs, count, 5000) ? "every explicit connection stands\n"
                                          : "not every explicit connection stands\n");
  for (int i = 0; i < count; ++i) {
    printf("  MAC ID %2u: DNM_CheckExplicitMsgConnectionStatus -> %u\n", (unsigned)macs[i],
           (unsigned)DNM_CheckExplicitMsgConnectionStatus(kBoard, kPort, macs[i]));
  }
  printf("identities:\n");
  for (int i = 0; i < count; ++i) PrintIdentity(macs[i]);

  Check("DNM_StopCommunicate", DNM_StopCommunicate(kBoard, kPort));
  Check("DNM_CloseBoard", DNM_CloseBoard(kBoard));
  return 0;
}
