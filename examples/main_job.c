/*
 * An application of the master library on the virtual CAN card: brings
 * port 0 of board 0 online, lists the devices that answer on the network,
 * connects to each of them and prints their connection status and
 * identity. Then it polls the I/O block (MAC ID 3), whose inputs echo the
 * outputs it was sent, reads the valve island (MAC ID 7) over the
 * bit-strobe connection, whose inputs count its responses, exchanges data
 * with the sensor (MAC ID 9) over a change-of-state connection, and prints
 * every device's counters. Last it takes ownership of the network's offline
 * connection set, finds the photo eye whose communication has faulted,
 * gives it a free MAC ID and connects to it like the others, before it
 * stops and closes. scripts/run-example.sh
 * runs it on the network in examples/network.txt with the trace on the
 * terminal.
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "VELKCANDNM.h"

enum { kBoard = 0, kPort = 0, kMasterMacId = 0, kBaud500k = 0 };
/* The I/O devices of examples/network.txt and their connection sizes. */
enum { kIoBlockMacId = 3, kIoBlockSize = 4, kValveIslandMacId = 7, kValveIslandSize = 2 };
enum { kSensorMacId = 9, kSensorSize = 2 };
/* The MAC ID the faulted photo eye is given. */
enum { kRecoveredMacId = 41 };

typedef uint16_t(DNM_CALL* StatusCheck)(uint8_t board, uint8_t port, uint8_t mac);

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static int Check(const char* what, uint16_t code) {
  printf("%-34s -> %u %s\n", what, (unsigned)code, DNM_GetErrorText(code));
  return code == DNM_NoError;
}

/* Waits up to timeout_ms until check gives 0 for every listed device. */
static int WaitAll(StatusCheck check, const uint8_t* macs, int count, long timeout_ms) {
  for (long waited = 0; waited <= timeout_ms; waited += 100) {
    int ready = 0;
    for (int i = 0; i < count; ++i) ready += check(kBoard, kPort, macs[i]) == DNM_NoError;
    if (ready == count) return 1;
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

static void PrintBytes(const uint8_t* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) printf(" %02X", (unsigned)bytes[i]);
}

/* Writes new outputs a few times; after each the device has been polled
 * twice, and its inputs, the echo of the outputs, have changed with them. */
static void PollIoBlock(void) {
  printf("polling the I/O block (MAC ID %d) every 100 ms:\n", kIoBlockMacId);
  for (uint8_t round = 1; round <= 4; ++round) {
    const uint8_t outputs[kIoBlockSize] = {round, (uint8_t)(0x10 * round), 0xA5, 0x5A};
    const uint16_t written =
        DNM_WritePollOutputData(kBoard, kPort, kIoBlockMacId, outputs, kIoBlockSize);
    SleepMs(250);
    uint8_t inputs[64];
    uint32_t length = 0;
    const uint16_t read = DNM_ReadPollInputData(kBoard, kPort, kIoBlockMacId, inputs, &length);
    printf("  outputs written (%u):", (unsigned)written);
    PrintBytes(outputs, kIoBlockSize);
    printf("   inputs read (%u):", (unsigned)read);
    PrintBytes(inputs, length);
    printf("\n");
  }
}

/* Reads the valve island's latest bit-strobe response a few times, one
 * bit-strobe period (500 ms) apart: its first byte counts its responses. */
static void ReadValveIsland(void) {
  printf("bit-strobe inputs of the valve island (MAC ID %d), every 500 ms:\n", kValveIslandMacId);
  for (int i = 0; i < 3; ++i) {
    uint8_t inputs[8];
    uint32_t length = 0;
    const uint16_t read = DNM_ReadBitStrobe(kBoard, kPort, kValveIslandMacId, inputs, &length);
    printf("  DNM_ReadBitStrobe (%u):", (unsigned)read);
    PrintBytes(inputs, read == DNM_NoError ? length : 0);
    printf("\n");
    SleepMs(500);
  }
}

/* The sensor sends its inputs when they change; the library answers each
 * with the outputs, which the sensor echoes in its next inputs. */
static void ExchangeWithSensor(void) {
  const uint8_t outputs[kSensorSize] = {0xBE, 0xEF};
  printf("change of state with the sensor (MAC ID %d):\n", kSensorMacId);
  printf("  outputs written (%u):",
         (unsigned)DNM_WriteCOSOutputData(kBoard, kPort, kSensorMacId, outputs, kSensorSize));
  PrintBytes(outputs, kSensorSize);
  printf("\n");
  uint8_t inputs[64] = {0};
  uint32_t length = 0;
  for (int waited = 0; waited < 4000; waited += 100) {
    const uint16_t read = DNM_ReadCOSInputData(kBoard, kPort, kSensorMacId, inputs, &length);
    if (read == DNM_NoError && memcmp(inputs, outputs, kSensorSize) == 0) break;
    SleepMs(100);
  }
  printf("  inputs read:");
  PrintBytes(inputs, length);
  printf("\n");
}

static void PrintCounters(const uint8_t* macs, int count) {
  printf("counters: explicit (no response, error response), poll (no response, error\n"
         "response, fragment error, send error), COS (no input, wrong length, fragment\n"
         "error, ack send error, output send error, output not acknowledged):\n");
  for (int i = 0; i < count; ++i) {
    const uint8_t mac = macs[i];
    printf("  MAC ID %2u: %u %u | %u %u %u %u | %u %u %u %u %u %u\n", (unsigned)mac,
           (unsigned)DNM_GetExplicitMsgNoResponse(kBoard, kPort, mac),
           (unsigned)DNM_GetExplicitMsgErrorResponse(kBoard, kPort, mac),
           (unsigned)DNM_GetPollNoResponse(kBoard, kPort, mac),
           (unsigned)DNM_GetPollErrorResponse(kBoard, kPort, mac),
           (unsigned)DNM_GetPollFragmentError(kBoard, kPort, mac),
           (unsigned)DNM_GetPollSendError(kBoard, kPort, mac),
           (unsigned)DNM_GetCOS_CyclicWithPollNoResponse(kBoard, kPort, mac),
           (unsigned)DNM_GetCOS_CyclicWithPollErrorResponse(kBoard, kPort, mac),
           (unsigned)DNM_GetCOS_CyclicWithPollFragmentError(kBoard, kPort, mac),
           (unsigned)DNM_GetCOS_CyclicWithPollSendError(kBoard, kPort, mac),
           (unsigned)DNM_GetCOS_CyclicWithoutPollSendError(kBoard, kPort, mac),
           (unsigned)DNM_GetCOS_CyclicWithoutPollACKNoResponse(kBoard, kPort, mac));
  }
}

/* Finds the faulted nodes, gives the first a free MAC ID and, once it has
 * checked that MAC ID (about a second), connects to it like the others. */
static void RecoverFaultedNode(void) {
  if (!Check("DNM_GetOwnership", DNM_GetOwnership(kBoard, kPort))) return;
  printf("faulted nodes: %u\n", (unsigned)DNM_CheckFaultNode(kBoard, kPort));
  uint16_t vendor_ids[4];
  uint32_t serial_numbers[4];
  uint8_t found = 0;
  if (DNM_GetAllFaultNodeEx(kBoard, kPort, vendor_ids, serial_numbers, 4, &found) != DNM_NoError) {
    return;
  }
  for (int i = 0; i < found; ++i) {
    printf("  vendor %u serial %lu\n", (unsigned)vendor_ids[i], (unsigned long)serial_numbers[i]);
  }
  if (!Check("DNM_ChangeFaultMACID (to MAC ID 41)",
             DNM_ChangeFaultMACID(kBoard, kPort, vendor_ids[0], serial_numbers[0],
                                  kRecoveredMacId))) {
    return;
  }
  SleepMs(1500);
  const uint8_t recovered = kRecoveredMacId;
  DNM_AddDevice(kBoard, kPort, recovered, 0);
  DNM_ConfigExplicitMsg(kBoard, kPort, recovered, 3);
  Check("DNM_StartDevice (MAC ID 41)", DNM_StartDevice(kBoard, kPort, recovered));
  WaitAll(DNM_GetDeviceStatus, &recovered, 1, 5000);
  Check("DNM_GetDeviceStatus (MAC ID 41)", DNM_GetDeviceStatus(kBoard, kPort, recovered));
  PrintIdentity(recovered);
}

/* Adds every device with an explicit connection, the I/O block with a poll
 * connection and the valve island with a bit-strobe connection. */
static void ConfigureDevices(const uint8_t* macs, int count) {
  for (int i = 0; i < count; ++i) {
    DNM_AddDevice(kBoard, kPort, macs[i], 0);
    DNM_ConfigExplicitMsg(kBoard, kPort, macs[i], 3);
  }
  Check("DNM_ConfigPoll (MAC ID 3)",
        DNM_ConfigPoll(kBoard, kPort, kIoBlockMacId, kIoBlockSize, kIoBlockSize, 0, 0));
  Check("DNM_ConfigBitStrobe (MAC ID 7)",
        DNM_ConfigBitStrobe(kBoard, kPort, kValveIslandMacId, kValveIslandSize, 0, 0));
  Check("DNM_ConfigCOS (MAC ID 9)",
        DNM_ConfigCOS(kBoard, kPort, kSensorMacId, kSensorSize, kSensorSize, 0, 2500, 0));
}

/* Waits for the connections to stand, then prints each device's status of
 * each: 0 stands, 1901, 1906 or 1907 not configured. */
static void WaitConnections(const uint8_t* macs, int count) {
  const uint8_t io_block = kIoBlockMacId;
  const uint8_t valve_island = kValveIslandMacId;
  WaitAll(DNM_CheckExplicitMsgConnectionStatus, macs, count, 10000);
  WaitAll(DNM_CheckPollConnectionStatus, &io_block, 1, 3000);
  const uint8_t sensor = kSensorMacId;
  WaitAll(DNM_CheckBitStrobeConnectionStatus, &valve_island, 1, 3000);
  WaitAll(DNM_CheckCOSConnectionStatus, &sensor, 1, 3000);
  printf("connection status (explicit, poll, bit-strobe, COS):\n");
  for (int i = 0; i < count; ++i) {
    printf("  MAC ID %2u: %s, %s, %s, %s\n", (unsigned)macs[i],
           DNM_GetErrorText(DNM_CheckExplicitMsgConnectionStatus(kBoard, kPort, macs[i])),
           DNM_GetErrorText(DNM_CheckPollConnectionStatus(kBoard, kPort, macs[i])),
           DNM_GetErrorText(DNM_CheckBitStrobeConnectionStatus(kBoard, kPort, macs[i])),
           DNM_GetErrorText(DNM_CheckCOSConnectionStatus(kBoard, kPort, macs[i])));
  }
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

  ConfigureDevices(macs, count);
  Check("DNM_StartCommunicate", DNM_StartCommunicate(kBoard, kPort));
  WaitConnections(macs, count);
  printf("identities:\n");
  for (int i = 0; i < count; ++i) PrintIdentity(macs[i]);

  PollIoBlock();
  ReadValveIsland();
  ExchangeWithSensor();
  PrintCounters(macs, count);
  RecoverFaultedNode();

  Check("DNM_StopCommunicate", DNM_StopCommunicate(kBoard, kPort));
  Check("DNM_CloseBoard", DNM_CloseBoard(kBoard));
  return 0;
}
