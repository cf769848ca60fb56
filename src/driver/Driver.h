// The CAN card driver, bound at start-up by name. Every call goes through
// these wrappers: they take the library's port numbers (0..3) and pass the
// driver's (1..4), and they answer CAN_DriverError when an entry is missing,
// so a missing or incomplete driver can never crash the library.
#pragma once

#include <cstdint>

#include "VELKCAN.h"

namespace dnm::driver {

// Loads libVELKCAN.so and binds its entries: 0 bound, 1 library missing,
// 2 an entry missing (the entries found before it stay bound).
int BindDriver();

// Board count as the driver reports it; 0 when the driver is not bound.
int32_t TotalBoard();
int32_t ActiveBoard(uint8_t board);
int32_t CloseBoard(uint8_t board);
int32_t Reset(uint8_t board, uint8_t port);
int32_t Init(uint8_t board, uint8_t port);
int32_t Config(uint8_t board, uint8_t port, const CANConfig& config);
int32_t ClearDataOverrun(uint8_t board, uint8_t port);
int32_t SendMsg(uint8_t board, uint8_t port, const CANMsg& msg);
int32_t RxMsgCount(uint8_t board, uint8_t port);
int32_t ReceiveMsg(uint8_t board, uint8_t port, CANMsg& msg);

// Sleeps until the port holds a frame or timeout_ms passes, when the driver
// offers such a wait; otherwise sleeps a short polling interval. Returns
// the number of frames waiting.
int32_t WaitRxMsg(uint8_t board, uint8_t port, uint32_t timeout_ms);

// Forwarded untouched to the driver.
int32_t GetBoardInf(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6,
                    uint32_t a7);
uint32_t GetSystemFreq(int32_t board);

// The names bound by BindDriver, in binding order.
extern const char* const kBoundEntryNames[23];

}  // namespace dnm::driver
