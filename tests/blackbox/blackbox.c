/*
 * A black-box check of the master library through its public header only,
 * the same program on every system the library is built for: a board is
 * brought online on the virtual card, an I/O block is connected over
 * explicit messaging and a poll connection, its identity and an attribute
 * are read and written, polled outputs come back as inputs, calls with bad
 * arguments are refused with their codes, and a closed board refuses calls.
 * Prints one line per check and exits 0 when every check passed.
 *
 *   VELKCAN_NETWORK=tests/blackbox/network.txt build/bin/dnm_blackbox
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif

#include <stdio.h>
#include <string.h>

#include "VELKCANDNM.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}
#endif

enum { kBoard = 0, kPort = 0, kBaud500k = 0, kMasterMacId = 0, kBlockMacId = 3, kIoSize = 4 };
enum { kIdentityClass = 1, kApplicationClass = 0x64, kVendorId = 1234 };

static int g_failed = 0;

static void Report(int ok, const char* what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  g_failed += !ok;
}

/* A call's result code against the one expected. */
static void Expect(const char* what, uint16_t got, uint16_t want) {
  if (got != want) {
    printf("FAIL %s: got %u %s, want %u %s\n", what, got, DNM_GetErrorText(got), want,
           DNM_GetErrorText(want));
    ++g_failed;
    return;
  }
  Report(1, what);
}

/* A set-up whose first answer is lost is retried after the answer's 3 s
 * and a 3 s pause: 15 s leaves room for that on a slow or loaded machine.
 * A failure names the status seen last. */
static void WaitUntilZero(uint16_t (DNM_CALL *check)(uint8_t, uint8_t, uint8_t), const char* what) {
  uint16_t status = 0;
  for (int waited = 0; waited < 15000; waited += 50) {
    status = check(kBoard, kPort, kBlockMacId);
    if (status == DNM_NoError) break;
    SleepMs(50);
  }
  if (status != DNM_NoError) {
    printf("FAIL %s: status still %u %s after 15 s\n", what, status, DNM_GetErrorText(status));
    ++g_failed;
    return;
  }
  Report(1, what);
}

static void RefusesBadArguments(void) {
  uint8_t data[64];
  uint32_t length = 0;
  Expect("a board out of range", DNM_ActiveBoard(200), DNM_BoardNumberError);
  Expect("a port of a board not active", DNM_Online(kBoard, kPort, kBaud500k, 0),
         DNM_BoardNotActive);
  Expect("an attribute of a board not active",
         DNM_GetAttribute(kBoard, kPort, kBlockMacId, 1, 1, 1, data, &length), DNM_BoardNotActive);
}

static void Connects(void) {
  Expect("DNM_ActiveBoard", DNM_ActiveBoard(kBoard), DNM_NoError);
  Expect("DNM_Online", DNM_Online(kBoard, kPort, kBaud500k, kMasterMacId), DNM_NoError);
  Expect("DNM_AddDevice", DNM_AddDevice(kBoard, kPort, kBlockMacId, 0), DNM_NoError);
  Expect("a MAC ID out of range", DNM_AddDevice(kBoard, kPort, 64, 0), DNM_MACIDNumberError);
  Expect("DNM_ConfigExplicitMsg", DNM_ConfigExplicitMsg(kBoard, kPort, kBlockMacId, 0),
         DNM_NoError);
  Expect("DNM_ConfigPoll", DNM_ConfigPoll(kBoard, kPort, kBlockMacId, kIoSize, kIoSize, 0, 0),
         DNM_NoError);
  Expect("DNM_StartDevice", DNM_StartDevice(kBoard, kPort, kBlockMacId), DNM_NoError);
  WaitUntilZero(DNM_CheckExplicitMsgConnectionStatus, "the explicit connection stands");
  WaitUntilZero(DNM_CheckPollConnectionStatus, "the poll connection stands");
}

static void ReadsAndWritesAttributes(void) {
  uint8_t data[64];
  uint32_t length = 0;
  Expect("get vendor ID",
         DNM_GetAttribute(kBoard, kPort, kBlockMacId, kIdentityClass, 1, 1, data, &length),
         DNM_NoError);
  Report(length == 2 && (data[0] | data[1] << 8) == kVendorId, "the vendor ID");
  const uint8_t written[5] = {1, 2, 3, 4, 5};
  Expect("set an application attribute",
         DNM_SetAttribute(kBoard, kPort, kBlockMacId, kApplicationClass, 1, 7, written,
                          sizeof written),
         DNM_NoError);
  memset(data, 0, sizeof data);
  Expect("get it back",
         DNM_GetAttribute(kBoard, kPort, kBlockMacId, kApplicationClass, 1, 7, data, &length),
         DNM_NoError);
  Report(length == sizeof written && memcmp(data, written, length) == 0, "the same bytes");
  Expect("a null length", DNM_GetAttribute(kBoard, kPort, kBlockMacId, 1, 1, 1, data, NULL),
         DNM_NullPointerError);
  Expect("an attribute the device lacks",
         DNM_GetAttribute(kBoard, kPort, kBlockMacId, kApplicationClass, 1, 99, data, &length),
         DNM_GetAttributeResponseError);
}

static void EchoesPolledOutputs(void) {
  const uint8_t outputs[kIoSize] = {0x11, 0x22, 0x33, 0x44};
  uint8_t inputs[64];
  uint32_t length = 0;
  Expect("write outputs", DNM_WritePollOutputData(kBoard, kPort, kBlockMacId, outputs, kIoSize),
         DNM_NoError);
  int echoed = 0;
  for (int waited = 0; waited < 3000 && !echoed; waited += 50) {
    SleepMs(50);
    echoed = DNM_ReadPollInputData(kBoard, kPort, kBlockMacId, inputs, &length) == DNM_NoError &&
             length == kIoSize && memcmp(inputs, outputs, kIoSize) == 0;
  }
  Report(echoed, "inputs echo the outputs");
  Expect("outputs too long",
         DNM_WritePollOutputData(kBoard, kPort, kBlockMacId, outputs, kIoSize + 1),
         DNM_WritePollOutputDataLengthError);
}

static void ClosesTheBoard(void) {
  uint8_t inputs[64];
  uint32_t length = 0;
  Expect("DNM_CloseBoard", DNM_CloseBoard(kBoard), DNM_NoError);
  Expect("a closed board refuses calls",
         DNM_ReadPollInputData(kBoard, kPort, kBlockMacId, inputs, &length), DNM_BoardNotActive);
}

int main(void) {
  Report(DNM_GetVersion() > 0.0f, "a version");
  RefusesBadArguments();
  Connects();
  ReadsAndWritesAttributes();
  EchoesPolledOutputs();
  ClosesTheBoard();
  printf("%s: %d check(s) failed\n", g_failed ? "FAILED" : "passed", g_failed);
  return g_failed ? 1 : 0;
}
