/*
 * DeviceNet master library (libVELKCANDNM.so): the application interface.
 *
 * Every DNM_ function returns a 16-bit code unless stated otherwise:
 * 0 (DNM_NoError) for success, 1..22 a driver code passed through unchanged
 * (see VELKCAN.h), 1100 and up a code of the library (below).
 * Board, port, MAC ID and baud arguments are judged by their low 8 bits:
 * boards 0..DNM_TotalBoard()-1, ports 0..3, MAC IDs 0..63, baud codes
 * 0 (500 kbit/s), 1 (250 kbit/s), 2 (125 kbit/s).
 *
 * Any thread may call any function; the library locks what it shares and
 * never calls back. Calls that change a port (online, offline, scan list,
 * configuration, start, stop) run one at a time per port; reads, writes and
 * attribute calls run side by side. Only the calls noted below wait on the
 * bus. docs/api/ has a page per function: arguments, result codes, how long
 * it blocks, threads and an example.
 */
#ifndef VELKCANDNM_H
#define VELKCANDNM_H

#include <stdint.h>

#include "VELKCAN.h" /* CANMsg, CANConfig */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define DNM_CALL __stdcall
#else
#define DNM_CALL
#endif

#if defined(DNM_BUILDING_LIBRARY) && !defined(_WIN32)
#define DNM_EXPORT __attribute__((visibility("default")))
#else
#define DNM_EXPORT
#endif

/* Codes of the library. */
enum {
  DNM_NoError = 0,
  DNM_TxMessageConnectionIDError = 1100,
  DNM_TxMessageRTRError = 1101,
  DNM_TxMessageLengthError = 1102,
  DNM_NullPointerError = 1103, /* a pointer argument was null */
  DNM_DuplicateMACIDTimeout = 1200,
  DNM_WaitBufferResponseTimeout = 1201,
  DNM_BaudrateError = 1202,
  DNM_MACIDNumberError = 1203,
  DNM_OnlineError = 1204,
  DNM_OfflineError = 1205,
  DNM_MasterStateError = 1206,
  DNM_BoardNumberError = 1300,
  DNM_BoardAlreadyClose = 1301,
  DNM_BoardAlreadyActive = 1302,
  DNM_BoardNotActive = 1303,
  DNM_PortAlreadyOnline = 1400,
  DNM_PortNumberError = 1401,
  DNM_ChangeMACIDError = 1500,
  DNM_ChangeBaudrateError = 1501,
  DNM_SetAttributeRequestError = 1600,
  DNM_SetAttributeResponseError = 1601,
  DNM_SetAttributeResponseTimeout = 1602,
  DNM_SetAttributeDataIsEmpty = 1603,
  DNM_SetAttributeACKError = 1604,
  DNM_SetAttributeFragmentACKTimeout = 1605,
  DNM_SetAttributeDataTooLong = 1606, /* a set value longer than 255 bytes */
  DNM_GetAttributeRequestError = 1700,
  DNM_GetAttributeResponseError = 1701,
  DNM_GetAttributeResponseTimeout = 1702,
  DNM_GetAttributeFragmentTimeout = 1703,
  DNM_GetAttributeDataTooLong = 1704, /* a value longer than the caller's area */
  DNM_DeviceAlreadyInScanList = 1800,
  DNM_DeviceNotInScanList = 1801,
  DNM_DeviceIsUnConnected = 1802,
  DNM_DeviceAlreadyStarted = 1803,
  DNM_ExplicitConnectionDown = 1804,
  DNM_ExplicitMsgNotConfigure = 1900,
  DNM_PollNotConfigure = 1901,
  DNM_PollNoResponse = 1902,
  DNM_PollResponseDataError = 1903,
  DNM_PollFragmentError = 1904,
  DNM_WritePollOutputDataLengthError = 1905,
  DNM_BitStrobeNotConfigure = 1906,
  DNM_COS_CyclicNotConfigure = 1907,
  DNM_PollStatus1 = 1908,
  DNM_PollStatus2 = 1909,
  DNM_CreateDeviceBitStrobeThreadError = 1910,
  DNM_WatchdogActionError = 1911, /* a watchdog timeout action above 3 */
  DNM_IOSizeTooLarge = 1912,      /* an I/O size above 64 (poll) or 8 (bit-strobe input) */
  DNM_FaultNodeSendError = 1913,  /* a faulted-node request could not be sent */
  DNM_ConnectionKindError = 1914, /* a connection kind above 3 (DNM_GetSetupFailure) */
  DNM_CreateThreadError = 2000,
  DNM_ResumeThreadError = 2001,
  DNM_SuspendThreadError = 2002,
  DNM_TerminateThreadError = 2003,
  DNM_CloseHandleError = 2004,
  DNM_ThreadNotExist = 2005,
  DNM_CreateBitStrobeThreadError = 2100,
  DNM_BitStrobeRequestThreadNotExist = 2101,
  DNM_BitStrobeRequestCloseError = 2102,
  DNM_BitStrobeRequestTerminateError = 2103,
  DNM_BitStrobeRequestSuspendError = 2104,
  DNM_BitStrobeRequestResumeError = 2105,
  DNM_BitStrobeStatus1 = 2108,
  DNM_CreateCOS_CyclicThreadError = 2200,
  DNM_IOFragmentNotReceived = 2201,
  DNM_IOInputLengthError = 2202,
  DNM_IOFragmentSequenceError = 2203,
  DNM_WriteCOSOutputDataLengthError = 2204,
  DNM_WriteCyclicOutputDataLengthError = 2205,
  DNM_CreateDeviceExplicitMsgThreadError = 3000,
  DNM_CreateDevicePollThreadError = 3100,
  DNM_CreateBitStrobeRequestThreadError = 3200,
  DNM_COSCyclicConflict = 3300,
  DNM_PollConnectionDisabled = 3500,
  DNM_GetOwnershipError = 4000,
  DNM_PortNotGetOwnership = 4001
};

/* Library and boards. */
DNM_EXPORT float DNM_CALL DNM_GetVersion(void);
/* The name of a library or driver code as a constant string
 * ("DNM_PortNotGetOwnership", "CAN_DataOverrun", "DNM_NoError" for 0),
 * "unknown" for any other value. Safe from any thread, with or without a
 * board. */
DNM_EXPORT const char* DNM_CALL DNM_GetErrorText(uint16_t code);
DNM_EXPORT int32_t DNM_CALL DNM_TotalBoard(void);
DNM_EXPORT int32_t DNM_CALL DNM_GetBoardInf(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                            uint32_t a5, uint32_t a6, uint32_t a7);
DNM_EXPORT uint32_t DNM_CALL CAN_GetSystemFreq(int32_t board);
DNM_EXPORT uint16_t DNM_CALL DNM_ActiveBoard(uint8_t board);
DNM_EXPORT uint16_t DNM_CALL DNM_CloseBoard(uint8_t board);

/* Ports. DNM_Online takes about 2 s (two duplicate MAC ID checks of 1 s);
 * the changes go offline and online again, as long. */
DNM_EXPORT uint16_t DNM_CALL DNM_Online(uint8_t board, uint8_t port, uint8_t baud, uint8_t mac);
DNM_EXPORT uint16_t DNM_CALL DNM_Offline(uint8_t board, uint8_t port);
DNM_EXPORT uint16_t DNM_CALL DNM_ChangeMACID(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint16_t DNM_CALL DNM_ChangeBaudrate(uint8_t board, uint8_t port, uint8_t baud);

/* A port's traffic since it last went online (DNM_Online, or a change of
 * its MAC ID or baud rate), counted by the library as frames pass to and
 * from the driver. bits_* are the bits those frames took on the bus, stuff
 * bits and interframe space included: their sum over a second against the
 * baud rate is the share of the bus the port's traffic took. error_frames
 * counts the receive errors the driver reported (CAN_ReceiveError),
 * overruns the receive overruns (CAN_DataOverrun). Reading them changes
 * nothing and sends nothing; 1206 for a port that is not online. */
typedef struct DNM_PortStatistics {
  uint64_t frames_received;
  uint64_t frames_sent;
  uint64_t bits_received;
  uint64_t bits_sent;
  uint32_t error_frames;
  uint32_t overruns;
} DNM_PortStatistics;
DNM_EXPORT uint16_t DNM_CALL DNM_GetPortStatistics(uint8_t board, uint8_t port,
                                                   DNM_PortStatistics* statistics);

/* Scan list. ucmm 0: the explicit connection is opened through the
 * predefined master/slave connection set (group 2 only); nonzero: through
 * UCMM (group 3), for devices that support it. DNM_GetAllDeviceMACID lists
 * the MAC IDs that answer a duplicate MAC ID check within about 1 s; list
 * receives at least 64 bytes. DNM_RemoveDevice waits for the device's
 * running request, up to 3 s. */
DNM_EXPORT uint16_t DNM_CALL DNM_AddDevice(uint8_t board, uint8_t port, uint8_t mac, uint8_t ucmm);
DNM_EXPORT uint16_t DNM_CALL DNM_RemoveDevice(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint16_t DNM_CALL DNM_GetAllDeviceMACID(uint8_t board, uint8_t port, uint8_t* list,
                                                   uint8_t* count);

/* Explicit messaging connection. watchdog_action is what the device does
 * when the connection stays idle too long: 0 time out, 1 auto delete,
 * 2 auto reset, 3 deferred delete (the default); others give 1911.
 * While the connection stands, the library keeps it alive: after 5 s
 * without an answer on it, it reads the connection's state from the device
 * and, when that goes unanswered twice, marks the connection lost
 * (DNM_CheckExplicitMsgConnectionStatus 1804) and sets it up again. */
DNM_EXPORT uint16_t DNM_CALL DNM_ConfigExplicitMsg(uint8_t board, uint8_t port, uint8_t mac,
                                                   uint32_t watchdog_action);
DNM_EXPORT uint16_t DNM_CALL DNM_CheckExplicitMsgConnectionStatus(uint8_t board, uint8_t port,
                                                                  uint8_t mac);

/* Attributes. DNM_GetAttribute fills 64 bytes at data and the value's
 * length, and writes neither unless it returns 0; DNM_SetAttribute sends 1
 * to 255 bytes. Calls on one device are serialised with every other
 * explicit request to it (the library's own included): a call waits up to
 * 3 s for those before it and returns 1702 (get) or 1602 (set) when they
 * take longer. A request then takes up to 3 s for its answer, and a
 * fragmented value up to 3 s per fragment. */
DNM_EXPORT uint16_t DNM_CALL DNM_GetAttribute(uint8_t board, uint8_t port, uint8_t mac, uint8_t cls,
                                              uint8_t instance, uint8_t attribute, uint8_t* data,
                                              uint32_t* length);
DNM_EXPORT uint16_t DNM_CALL DNM_SetAttribute(uint8_t board, uint8_t port, uint8_t mac, uint8_t cls,
                                              uint8_t instance, uint8_t attribute,
                                              const uint8_t* value, uint32_t length);
/* As DNM_GetAttribute, for values up to 255 bytes (the longest a set
 * writes): size is the number of bytes at data, sizes above 255 count as
 * 255. On 0 the value's bytes are at data and its byte count in length;
 * a value longer than size gives 1704, and nothing is written unless it
 * returns 0. A value longer than 64 bytes gives 1704 from DNM_GetAttribute. */
DNM_EXPORT uint16_t DNM_CALL DNM_GetAttributeEx(uint8_t board, uint8_t port, uint8_t mac,
                                                uint8_t cls, uint8_t instance, uint8_t attribute,
                                                uint8_t* data, uint32_t size, uint32_t* length);
/* The general and additional status of the last error response the device
 * sent to an attribute call of the application (the answer behind 1701 and
 * 1601), kept until the next one. Both are 0 (success) when it sent none
 * since it was added; a status byte missing from the response reads 0xFF. */
DNM_EXPORT uint16_t DNM_CALL DNM_GetLastErrorResponse(uint8_t board, uint8_t port, uint8_t mac,
                                                      uint8_t* general_status,
                                                      uint8_t* additional_status);

/* Poll connection. Sizes are the device's produced (input) and consumed
 * (output) connection sizes, at most 64 bytes each (1912 above); the
 * library checks them against the device before polling. On a group-2
 * device the expected packet rate the device receives is always 2500 ms;
 * on a UCMM device it is expected_packet_rate's low byte, with the high byte
 * sent as is when it is 1 to 3 and as 1 otherwise. Reads return the last
 * complete input; writes take exactly the output size (1905 otherwise). */
DNM_EXPORT uint16_t DNM_CALL DNM_ConfigPoll(uint8_t board, uint8_t port, uint8_t mac,
                                            uint16_t input_size, uint16_t output_size,
                                            uint16_t expected_packet_rate, uint16_t fourth);
DNM_EXPORT uint16_t DNM_CALL DNM_ReadPollInputData(uint8_t board, uint8_t port, uint8_t mac,
                                                   uint8_t* data, uint32_t* length);
DNM_EXPORT uint16_t DNM_CALL DNM_WritePollOutputData(uint8_t board, uint8_t port, uint8_t mac,
                                                     const uint8_t* data, uint32_t length);
DNM_EXPORT uint16_t DNM_CALL DNM_CheckPollConnectionStatus(uint8_t board, uint8_t port,
                                                           uint8_t mac);

/* Bit-strobe connection: input size at most 8 (1912 above). One command
 * goes to all devices of the port every bit-strobe period; each device's
 * latest response of the configured size is kept. The expected packet rate
 * the device receives is as for DNM_ConfigPoll. */
DNM_EXPORT uint16_t DNM_CALL DNM_ConfigBitStrobe(uint8_t board, uint8_t port, uint8_t mac,
                                                 uint16_t input_size, uint16_t expected_packet_rate,
                                                 uint16_t fourth);
DNM_EXPORT uint16_t DNM_CALL DNM_ReadBitStrobe(uint8_t board, uint8_t port, uint8_t mac,
                                               uint8_t* data, uint32_t* length);
DNM_EXPORT uint16_t DNM_CALL DNM_CheckBitStrobeConnectionStatus(uint8_t board, uint8_t port,
                                                                uint8_t mac);

/* COS or cyclic connection (one of the two per device; 3300 for the
 * other): sizes at most 64 (1912 above). The device receives
 * expected_packet_rate whole, on either route, and produces its inputs on
 * change with it as heartbeat (COS) or at it (cyclic); each input is
 * acknowledged, and without a poll connection answered with the output,
 * which the device acknowledges in turn. With a poll connection the
 * outputs go in the poll commands. */
DNM_EXPORT uint16_t DNM_CALL DNM_ConfigCOS(uint8_t board, uint8_t port, uint8_t mac,
                                          uint16_t input_size, uint16_t output_size,
                                          uint8_t cos_cyclic_byte, uint16_t expected_packet_rate,
                                          uint16_t fourth);
DNM_EXPORT uint16_t DNM_CALL DNM_ConfigCyclic(uint8_t board, uint8_t port, uint8_t mac,
                                             uint16_t input_size, uint16_t output_size,
                                             uint8_t cos_cyclic_byte,
                                             uint16_t expected_packet_rate, uint16_t fourth);
DNM_EXPORT uint16_t DNM_CALL DNM_ReadCOSInputData(uint8_t board, uint8_t port, uint8_t mac,
                                                 uint8_t* data, uint32_t* length);
DNM_EXPORT uint16_t DNM_CALL DNM_ReadCyclicInputData(uint8_t board, uint8_t port, uint8_t mac,
                                                    uint8_t* data, uint32_t* length);
DNM_EXPORT uint16_t DNM_CALL DNM_WriteCOSOutputData(uint8_t board, uint8_t port, uint8_t mac,
                                                   const uint8_t* data, uint32_t length);
DNM_EXPORT uint16_t DNM_CALL DNM_WriteCyclicOutputData(uint8_t board, uint8_t port, uint8_t mac,
                                                      const uint8_t* data, uint32_t length);
DNM_EXPORT uint16_t DNM_CALL DNM_CheckCOSConnectionStatus(uint8_t board, uint8_t port,
                                                         uint8_t mac);
DNM_EXPORT uint16_t DNM_CALL DNM_CheckCyclicConnectionStatus(uint8_t board, uint8_t port,
                                                            uint8_t mac);

/* Error counters of a device, each counting since the device was added
 * (never reset by a stop, start or reconnection): explicit requests
 * (connection set-up, keep-alive, attribute calls, I/O set-up) that got no
 * answer or could not be sent, and those answered with an error response;
 * then the I/O connections' failures. 0 for a board, port or MAC ID that
 * names no device of an active board. */
DNM_EXPORT uint32_t DNM_CALL DNM_GetExplicitMsgNoResponse(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetExplicitMsgErrorResponse(uint8_t board, uint8_t port,
                                                             uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetBitStrobeNoResponse(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetCOS_CyclicWithPollNoResponse(uint8_t board, uint8_t port,
                                                                 uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetCOS_CyclicWithPollErrorResponse(uint8_t board, uint8_t port,
                                                                    uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetCOS_CyclicWithPollFragmentError(uint8_t board, uint8_t port,
                                                                    uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetCOS_CyclicWithPollSendError(uint8_t board, uint8_t port,
                                                                uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetCOS_CyclicWithoutPollSendError(uint8_t board, uint8_t port,
                                                                   uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetCOS_CyclicWithoutPollACKNoResponse(uint8_t board, uint8_t port,
                                                                       uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetPollSendError(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetPollNoResponse(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetPollErrorResponse(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint32_t DNM_CALL DNM_GetPollFragmentError(uint8_t board, uint8_t port, uint8_t mac);

/* How fast a device is really polled: the time in ms between the starts of
 * two polls of the device, averaged (each new gap weighs 1/8). A poll waits
 * for its answer (at least 10 ms) before the pause set by
 * DNM_SetPollFrequency, so the value is that pause plus the exchange; when
 * it is well above that, the bus or the device does not keep up. 0 while
 * the poll connection does not stand or has not polled twice since it last
 * stood, and for a board, port or MAC ID that names no device of an active
 * board. */
DNM_EXPORT uint32_t DNM_CALL DNM_GetPollPeriodAchieved(uint8_t board, uint8_t port, uint8_t mac);

/* Why a connection last failed to stand: per device and connection kind
 * (DNM_ConnectionExplicit, DNM_ConnectionPoll, DNM_ConnectionBitStrobe,
 * DNM_ConnectionCOS_Cyclic), the last reason its set-up failed or it was
 * lost since it last stood, and how long ago (age_ms). cause is
 * DNM_SetupNoFailure while it stands and until something fails after it
 * was configured. Only the fields of the cause are set, the others are 0:
 * the sizes for a size mismatch, request and the device's statuses for a
 * refusal, request for a request without answer, missed_answers for a loss.
 * Reading it changes nothing; it sends nothing and traces only a refusal. */
enum {
  DNM_ConnectionExplicit = 0,
  DNM_ConnectionPoll = 1,
  DNM_ConnectionBitStrobe = 2,
  DNM_ConnectionCOS_Cyclic = 3
};
enum {
  DNM_SetupNoFailure = 0,
  DNM_SetupProducedSizeMismatch = 1, /* the device produces another size than the input */
  DNM_SetupConsumedSizeMismatch = 2, /* the device consumes another size than the output */
  DNM_SetupRefused = 3,              /* the device answered a request with an error response */
  DNM_SetupNoAnswer = 4,             /* a request got no answer in time or could not be sent */
  DNM_SetupLost = 5,                 /* it stood and was lost: answers went missing */
  DNM_SetupStopped = 6               /* the device or the port was stopped */
};
enum {
  DNM_SetupRequestNone = 0,
  DNM_SetupRequestAllocate = 1,           /* allocation of the connection set */
  DNM_SetupRequestOpenUCMM = 2,           /* opening the explicit connection through UCMM */
  DNM_SetupRequestProducedSize = 3,       /* reading Produced_Connection_Size */
  DNM_SetupRequestConsumedSize = 4,       /* reading Consumed_Connection_Size */
  DNM_SetupRequestExpectedPacketRate = 5  /* setting Expected_Packet_Rate */
};
typedef struct DNM_SetupFailure {
  uint16_t cause;           /* DNM_Setup... */
  uint16_t request;         /* DNM_SetupRequest..., refused or unanswered */
  uint16_t device_size;     /* size mismatch: the device's size in bytes */
  uint16_t configured_size; /* size mismatch: the size configured */
  uint8_t general_status;   /* refused: the device's general status */
  uint8_t additional_status;
  uint16_t missed_answers;  /* lost: answers missed in a row */
  uint32_t age_ms;          /* ms since it happened */
} DNM_SetupFailure;
DNM_EXPORT uint16_t DNM_CALL DNM_GetSetupFailure(uint8_t board, uint8_t port, uint8_t mac,
                                                 uint8_t kind, DNM_SetupFailure* failure);

/* Library-wide periods, given as frequencies in Hz: the pause between two
 * polls of a device (100 ms at load) and between two bit-strobe commands of
 * a port (500 ms). The period is 1000 / frequency ms (1 ms above 1000 Hz);
 * each returns the frequency that period gives. Frequency 0 changes nothing
 * and returns 0. */
DNM_EXPORT uint32_t DNM_CALL DNM_SetPollFrequency(uint16_t frequency);
DNM_EXPORT uint32_t DNM_CALL DNM_SetBitStrobeFrequency(uint16_t frequency);

/* The offline connection set, through which faulted nodes (nodes whose
 * communication faulted, for example after a failed duplicate MAC ID check)
 * are reached. One client at a time may use it:
 * DNM_GetOwnership asks twice for ownership, waiting 1 s each time for
 * another client to object (0 obtained, 4000 objected at any time from the
 * first request on; about 2 s; the driver's code when neither request could
 * be sent). Two masters that ask at the same moment can both get 0. While
 * the port owns the set it objects to other clients' requests. The other
 * calls need ownership (4001 without) and the port online.
 * DNM_CheckFaultNode returns how many faulted nodes answered (0 to 64;
 * it waits up to 1 s for the first and takes each further one that follows
 * within 50 ms of the one before), or 1913 when the request could not be sent.
 * Answers shorter than 7 bytes (mark, vendor ID, serial number) name no node
 * and are left out here and by the listing; a node that answers more than
 * once counts (and is listed) once.
 * DNM_GetAllFaultNode lists their vendor IDs and serial numbers in entry 0
 * onwards of arrays of 64 entries, writing answered entries only: 0 answers
 * came, 3 none came (same waits). Its fifth argument is not used.
 * DNM_GetAllFaultNodeEx is the same, but capacity is the number of entries
 * of each array: at most that many are written and the entries past the
 * last answer are zeroed (0 means 64 entries, answered ones written only);
 * it also writes how many entries hold an answer.
 * DNM_ChangeFaultMACID gives the faulted node with that vendor ID and serial
 * number a new MAC ID (0 to 63, 1203 otherwise) and returns once the
 * request is sent; the node then checks its new MAC ID and rejoins the
 * network like any other. The listing and DNM_ChangeFaultMACID return the
 * driver's code when the request could not be sent. */
DNM_EXPORT uint16_t DNM_CALL DNM_GetOwnership(uint8_t board, uint8_t port);
DNM_EXPORT uint16_t DNM_CALL DNM_CheckFaultNode(uint8_t board, uint8_t port);
DNM_EXPORT uint16_t DNM_CALL DNM_GetAllFaultNode(uint8_t board, uint8_t port, uint16_t* vendor_ids,
                                                 uint32_t* serial_numbers, uint32_t capacity);
DNM_EXPORT uint16_t DNM_CALL DNM_GetAllFaultNodeEx(uint8_t board, uint8_t port,
                                                   uint16_t* vendor_ids, uint32_t* serial_numbers,
                                                   uint32_t capacity, uint8_t* count);
DNM_EXPORT uint16_t DNM_CALL DNM_ChangeFaultMACID(uint8_t board, uint8_t port, uint16_t vendor_id,
                                                  uint32_t serial_number, uint8_t new_mac);

/* Whether all of a device's configured connections stand: 0, or the first
 * code other than 0 of the connection checks above, in the order explicit,
 * poll, bit-strobe, COS, cyclic; 1801 also for a device that a removal on
 * another thread takes out of the scan list meanwhile. Sends nothing. */
DNM_EXPORT uint16_t DNM_CALL DNM_GetDeviceStatus(uint8_t board, uint8_t port, uint8_t mac);

/* Communication. */
DNM_EXPORT uint16_t DNM_CALL DNM_StartCommunicate(uint8_t board, uint8_t port);
DNM_EXPORT uint16_t DNM_CALL DNM_StopCommunicate(uint8_t board, uint8_t port);
DNM_EXPORT uint16_t DNM_CALL DNM_StartDevice(uint8_t board, uint8_t port, uint8_t mac);
DNM_EXPORT uint16_t DNM_CALL DNM_StopDevice(uint8_t board, uint8_t port, uint8_t mac);

#ifdef __cplusplus
}
#endif

#endif /* VELKCANDNM_H */
