/*
 * CAN interface card driver interface (libVELKCAN.so).
 *
 * The records and entry points that the card driver offers and that the
 * DeviceNet master library calls. Every entry returns a driver code: 0 for
 * success, otherwise one of CAN_DriverError .. CAN_SoftBufferIsFull, always in
 * the low 16 bits with the upper bits clear.
 *
 * Boards are numbered from 0; the ports of a board are numbered 1 to 4.
 */
#ifndef VELKCAN_H
#define VELKCAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VELKCAN_CALL __stdcall
#else
#define VELKCAN_CALL
#endif

/* Driver codes. */
enum {
  CAN_NoError = 0,
  CAN_DriverError = 1,
  CAN_ActiveBoardError = 2,
  CAN_BoardNumberError = 3,
  CAN_PortNumberError = 4,
  CAN_ResetError = 5,
  CAN_SoftResetError = 6,
  CAN_InitError = 7,
  CAN_ConfigError = 8,
  CAN_SetACRError = 9,
  CAN_SetAMRError = 10,
  CAN_SetBaudRateError = 11,
  CAN_EnableRxIrqFailure = 12,
  CAN_DisableRxIrqFailure = 13,
  CAN_InstallIrqFailure = 14,
  CAN_RemoveIrqFailure = 15,
  CAN_TransmitBufferLocked = 16,
  CAN_TransmitIncomplete = 17,
  CAN_ReceiveBufferEmpty = 18,
  CAN_DataOverrun = 19,
  CAN_ReceiveError = 20,
  CAN_SoftBufferIsEmpty = 21,
  CAN_SoftBufferIsFull = 22
};

/* One CAN frame as it crosses the driver boundary: 32 bytes, little-endian. */
typedef struct CANMsg {
  uint8_t stamp[8];   /* driver's: receive time in microseconds (uint64 LE) */
  uint8_t mode;       /* 0 = standard 11-bit identifier */
  uint8_t pad[3];
  uint32_t id;        /* CAN identifier */
  uint8_t rtr;        /* remote transmission request */
  uint8_t len;        /* data length 0..8 */
  uint8_t data[8];    /* bytes at or beyond len are not part of the frame */
  uint8_t reserved[6];
} CANMsg;

/* Controller configuration passed to CAN_Config: 11 bytes. */
typedef struct CANConfig {
  uint8_t acceptance_code[4];
  uint8_t acceptance_mask[4]; /* 0xFF bits are "don't care" */
  uint8_t baud_selector;      /* 6 = 500k, 5 = 250k, 4 = 125k */
  uint8_t bus_timing0;
  uint8_t bus_timing1;
} CANConfig;

#ifdef __cplusplus
static_assert(sizeof(CANMsg) == 32, "CANMsg must be 32 bytes");
static_assert(offsetof(CANMsg, mode) == 8, "CANMsg.mode at byte 8");
static_assert(offsetof(CANMsg, id) == 12, "CANMsg.id at byte 12");
static_assert(offsetof(CANMsg, rtr) == 16, "CANMsg.rtr at byte 16");
static_assert(offsetof(CANMsg, len) == 17, "CANMsg.len at byte 17");
static_assert(offsetof(CANMsg, data) == 18, "CANMsg.data at byte 18");
static_assert(offsetof(CANMsg, reserved) == 26, "CANMsg.reserved at byte 26");
static_assert(sizeof(CANConfig) == 11, "CANConfig must be 11 bytes");
static_assert(offsetof(CANConfig, baud_selector) == 8, "CANConfig baud at byte 8");
#else
_Static_assert(sizeof(CANMsg) == 32, "CANMsg must be 32 bytes");
_Static_assert(sizeof(CANConfig) == 11, "CANConfig must be 11 bytes");
#endif

/* The 23 entries bound by name, in the order the master binds them. */
int32_t VELKCAN_CALL CAN_GetDllVersion(void);
int32_t VELKCAN_CALL CAN_ActiveBoard(int32_t board);
int32_t VELKCAN_CALL CAN_TotalBoard(void);
int32_t VELKCAN_CALL CAN_BoardIsActive(int32_t board);
int32_t VELKCAN_CALL CAN_Reset(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_Init(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_Config(int32_t board, int32_t port, const CANConfig* config);
int32_t VELKCAN_CALL CAN_EnableRxIrq(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_DisableRxIrq(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_RxIrqStatus(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_InstallIrq(int32_t board);
int32_t VELKCAN_CALL CAN_RemoveIrq(int32_t board);
int32_t VELKCAN_CALL CAN_IrqStatus(int32_t board);
int32_t VELKCAN_CALL CAN_Status(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_SendMsg(int32_t board, int32_t port, const CANMsg* msg);
int32_t VELKCAN_CALL CAN_RxMsgCount(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_ReceiveMsg(int32_t board, int32_t port, CANMsg* msg);
int32_t VELKCAN_CALL CAN_ClearSoftBuffer(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_ClearDataOverrun(int32_t board, int32_t port);
int32_t VELKCAN_CALL CAN_OutputByte(int32_t board, int32_t port, uint32_t address, uint32_t value);
int32_t VELKCAN_CALL CAN_InputByte(int32_t board, int32_t port, uint32_t address);
/* Board information: a1 = board, a2 = item (0 ports, 1 board type, 2 firmware
 * version); a3..a7 reserved. Returns the item's value, or -1 for a bad board
 * or item. */
int32_t VELKCAN_CALL CAN_GetBoardInf(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                     uint32_t a5, uint32_t a6, uint32_t a7);
int32_t VELKCAN_CALL CAN_CloseBoard(int32_t board);

/* Forwarded unchanged by the master: the controller clock of a board in Hz,
 * 0 for a board that does not exist. */
uint32_t VELKCAN_CALL CAN_GetSystemFreq(int32_t board);

/* Optional extension: sleeps until the port holds a received frame or
 * timeout_ms passes. Returns the number of frames waiting (0 on timeout) or
 * a negative value for a bad board or port. A driver without it is polled. */
int32_t VELKCAN_CALL CAN_WaitRxMsg(int32_t board, int32_t port, uint32_t timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* VELKCAN_H */
