/*
 * Test interface of the virtual CAN card (libVELKCAN.so).
 *
 * Exported beside the driver entries so that tests reach it with dlsym on the same library the
 * master loads. Boards and ports are numbered as by the driver: boards from 0, ports 1 to 4; a
 * port stands for the segment it sits on. Unless stated otherwise, functions return 0 on
 * success and -1 for a bad argument (unknown board, port, node handle, null pointer).
 */
#ifndef VCAN_TEST_H
#define VCAN_TEST_H

#include <stdint.h>

#include "VELKCAN.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Pass as times to VCAN_FailEntry: fail every call until cleared. */
#define VCAN_EVERY_CALL (-1)

typedef struct VCAN_SegmentStats {
  uint64_t frames;        /* frames carried since start or VCAN_ResetSegmentStats */
  uint64_t bits;          /* their bits on the wire, stuff bits included */
  uint64_t busy_us;       /* time the segment spent carrying them */
  uint64_t overrun_drops; /* frames the nodes now on the segment lost to full receive queues,
                             counted since start (not reset) */
  uint32_t nodes;         /* nodes on the segment: ports, test, process and simulated nodes */
} VCAN_SegmentStats;

typedef struct VCAN_PortStats {
  uint64_t sent;          /* frames accepted by CAN_SendMsg */
  uint64_t received;      /* frames put into the receive FIFO */
  uint64_t filtered;      /* frames the acceptance filter turned away */
  uint64_t overrun_drops; /* frames lost because the receive FIFO was full */
  int32_t on_bus;         /* 1 between CAN_Init and CAN_Reset or CAN_CloseBoard */
  uint32_t baud;          /* bit/s */
} VCAN_PortStats;

typedef struct VCAN_Frame {
  CANMsg msg;      /* stamp: end of the frame on the bus, microseconds of CLOCK_MONOTONIC */
  char sender[32]; /* "B/P" for a driver port, else the node's name */
  uint32_t baud;   /* bit/s it was sent at */
  uint32_t bits;   /* its length on the wire */
} VCAN_Frame;

/* The file the card was built from (VELKCAN_NETWORK at the first call), "" for none. Also
 * builds the card if no call has yet. */
const char* VCAN_NetworkPath(void);
/* How many lines of that file were left out (each reported on stderr); builds the card if
 * needed. A tool that wants the network exactly as written stops on any. */
int32_t VCAN_RefusedLines(void);

/* Asks this process to host every shared segment of its description (dnm simulate does): one
 * that no process hosts is hosted here, one that a process hosts already is a refused line
 * naming that process. Without it a process hosts only segments whose line says host=yes and
 * no process hosts yet. Call before any other function of the card: 0, or -1 once the card is
 * built. */
int32_t VCAN_HostSharedSegments(void);
/* The path of a shared segment of this process that no process hosts now (its ports refuse
 * CAN_Init with CAN_InitError): copies up to size - 1 characters and a NUL, returns the full
 * length, 0 when every shared segment has its host. Builds the card if needed. */
int32_t VCAN_UnhostedSegment(char* path, int32_t size);

/* Fault injection. entry is a driver entry name ("CAN_SendMsg"); it returns code instead of
 * working for its next times calls, or for every call with VCAN_EVERY_CALL. -1 for an unknown
 * entry or times of 0 or below other than VCAN_EVERY_CALL. A null or empty entry clears all. */
int32_t VCAN_FailEntry(const char* entry, int32_t code, int32_t times);
int32_t VCAN_ClearFault(const char* entry);

/* Test nodes: in-process nodes on the segment of (board, port) at baud_kbit (500, 250 or 125).
 * VCAN_AttachNode returns a handle above 0. A test node is always on the bus, hears every frame
 * at its rate except its own, and keeps up to 65536 of them. */
int32_t VCAN_AttachNode(int32_t board, int32_t port, uint32_t baud_kbit);
int32_t VCAN_DetachNode(int32_t node);
/* Queues msg for arbitration, waiting up to timeout_ms for room in the node's transmit queue
 * (64 frames). 0 queued, 1 not a standard frame, 16 queue still full, 17 node detached. */
int32_t VCAN_NodeSend(int32_t node, const CANMsg* msg, uint32_t timeout_ms);
/* Takes the oldest frame the node heard, waiting up to timeout_ms for one: 0, or 18 none. */
int32_t VCAN_NodeReceive(int32_t node, CANMsg* msg, uint32_t timeout_ms);
/* Frames waiting at the node. */
int32_t VCAN_NodePending(int32_t node);

/* While hold is non-zero the segment starts no frame; queued frames wait and, once released,
 * compete in arbitration. */
int32_t VCAN_HoldSegment(int32_t board, int32_t port, int32_t hold);

int32_t VCAN_GetSegmentStats(int32_t board, int32_t port, VCAN_SegmentStats* stats);
/* Clears the segment's counters and its log of recent frames. */
int32_t VCAN_ResetSegmentStats(int32_t board, int32_t port);
/* Copies the segment's most recent frames (at most 256 are kept), oldest first, up to max of
 * them. Returns the number copied. */
int32_t VCAN_RecentFrames(int32_t board, int32_t port, VCAN_Frame* frames, int32_t max);
/* Writes the segment's name, cut to size - 1 characters and terminated. Returns its full
 * length. */
int32_t VCAN_SegmentName(int32_t board, int32_t port, char* name, int32_t size);

int32_t VCAN_GetPortStats(int32_t board, int32_t port, VCAN_PortStats* stats);

/* What the card hosts: a line per segment that holds simulated nodes or that other programs
 * reach, "segment NAME (HOW): NODE, NODE". Copies up to size - 1 characters and a NUL, returns
 * the full length. Builds the card if needed. */
int32_t VCAN_DescribeCard(char* text, int32_t size);

/* ---- Simulated DeviceNet slaves (`slave` lines of the network description) ----
 * A slave is addressed by (board, port, mac): the segment that driver port sits on and the
 * slave's MAC ID there. -1 when there is no such slave. */

/* Services a slave counts, indexes of VCAN_SlaveState.requests. */
enum {
  VCAN_SLAVE_ALLOCATE = 0, /* Allocate_Master/Slave_Connection_Set */
  VCAN_SLAVE_RELEASE = 1,  /* Release_Master/Slave_Connection_Set */
  VCAN_SLAVE_GET = 2,      /* Get_Attribute_Single */
  VCAN_SLAVE_SET = 3,      /* Set_Attribute_Single */
  VCAN_SLAVE_OPEN = 4,     /* UCMM Open Explicit Messaging Connection */
  VCAN_SLAVE_CLOSE = 5,    /* UCMM Close */
  VCAN_SLAVE_OTHER = 6,    /* any other service */
  VCAN_SLAVE_SERVICES = 7
};

#define VCAN_SLAVE_MAX_UCMM 4

typedef struct VCAN_SlaveUcmmConnection {
  uint16_t instance;             /* Connection class instance (from 7) */
  uint8_t master_mac;            /* the master that opened it */
  uint8_t state;                 /* 3 established, 4 timed out */
  uint16_t expected_packet_rate; /* ms */
  uint8_t watchdog_action;
  uint8_t reserved;
} VCAN_SlaveUcmmConnection;

typedef struct VCAN_SlaveState {
  /* 1 while the explicit connection of the predefined set is allocated. */
  int32_t explicit_allocated;
  /* The master holding the predefined set, -1 none. */
  int32_t master_mac;
  /* Choice bits held: 0x01 explicit, 0x02 poll, 0x04 bit-strobe, 0x10 COS, 0x20 cyclic. */
  uint8_t allocated_choice;
  /* Connection instance 1: state (0 non-existent, 3 established, 4 timed out, 5 deferred
   * delete), expected packet rate in ms, watchdog_timeout_action as last set (0..3). */
  uint8_t explicit_state;
  uint16_t expected_packet_rate;
  uint8_t watchdog_action;
  /* Action applied at the last watchdog expiry of any explicit connection, -1 none yet. */
  int8_t last_expiry_action;
  /* 1 while the slave neither hears nor sends messaging frames. */
  uint8_t silent;
  uint8_t reserved;
  /* Expiries of the watchdog of any explicit connection. */
  uint32_t watchdog_expiries;
  /* Requests to the slave it did not act on: silent, no connection, not UCMM capable. */
  uint32_t ignored_frames;
  /* Requests received, by VCAN_SLAVE_... service; a fragmented one counts once, complete. */
  uint32_t requests[VCAN_SLAVE_SERVICES];
  /* Connections opened through UCMM, the first VCAN_SLAVE_MAX_UCMM of them below. */
  int32_t ucmm_count;
  VCAN_SlaveUcmmConnection ucmm[VCAN_SLAVE_MAX_UCMM];
  /* ---- I/O ---- */
  /* Connection instances 2 (poll) and 3 (bit-strobe): 0 non-existent, 1 configuring,
   * 3 established, 4 timed out. */
  uint8_t poll_state;
  uint8_t strobe_state;
  uint16_t reserved_io;
  /* Poll commands taken (a fragmented one once, complete) and poll responses sent. */
  uint32_t polls;
  uint32_t poll_responses;
  /* Bit-strobe commands taken and bit-strobe responses sent. */
  uint32_t strobes;
  uint32_t strobe_responses;
  /* I/O frames of the master the slave did not act on: no established connection, silent, a
   * poll command or output message of the wrong length (once), a fragment out of sequence, a
   * bit-strobe command of other than 8 bytes, an acknowledgement with data or while no
   * production awaits one. */
  uint32_t io_ignored;
  /* Expiries of the watchdog of any I/O connection. */
  uint32_t io_watchdog_expiries;
  /* ---- Change of state / cyclic ---- */
  /* Connection instance 4: states as poll_state. */
  uint8_t cos_state;
  uint8_t reserved_cos[3];
  /* Messages produced (a fragmented one once), those due while the one before was still
   * unacknowledged among them. */
  uint32_t cos_productions;
  uint32_t cos_repeats;
  /* The master's acknowledgements taken (empty frames while a production awaited one). */
  uint32_t cos_acks_received;
  /* Output messages taken on the connection, where the master holds no poll connection. */
  uint32_t cos_outputs_received;
  /* ---- Offline connection set ---- */
  /* 1 while the slave's communication is faulted (`faulted=1`) or it checks the new MAC ID it
   * was given; it is then found under that MAC ID. */
  uint8_t comm_faulted;
  uint8_t reserved_faulted[3];
} VCAN_SlaveState;

/* Changes a slave's behaviour with the behaviour options of the `slave` line, e.g.
 * "delay=200 error=get,set" or "silent_from=100 back_at=900" (times count from this call). Only
 * the options given change; the actions "power_cycle=1" and "stray=N" happen during the call.
 * -1 (with the reason on stderr) for an unknown option or bad value. */
int32_t VCAN_SlaveSetBehaviour(int32_t board, int32_t port, int32_t mac, const char* options);

int32_t VCAN_SlaveGetState(int32_t board, int32_t port, int32_t mac, VCAN_SlaveState* state);

/* Application object attributes (class 0x64, instance 1), bypassing the bus. Read copies up to
 * size bytes and returns the value's full length, -1 for an attribute that does not exist.
 * Write creates or replaces one (attribute 1..255, 1..255 bytes) and returns 0. */
int32_t VCAN_SlaveReadAttribute(int32_t board, int32_t port, int32_t mac, int32_t attribute,
                                uint8_t* value, int32_t size);
int32_t VCAN_SlaveWriteAttribute(int32_t board, int32_t port, int32_t mac, int32_t attribute,
                                 const uint8_t* value, int32_t length);

/* I/O data, bypassing the bus. ReadOutputs copies up to size bytes of the outputs the slave
 * last took (poll command, or output message on the change of state / cyclic connection) and
 * returns their full length (0 before the first one and after a power cycle). WriteInputs
 * replaces the slave's inputs with length bytes (0..255); its I/O messages carry them as the
 * behaviour option inputs= says; a change of state connection produces at once when the data
 * it produces changed. */
int32_t VCAN_SlaveReadOutputs(int32_t board, int32_t port, int32_t mac, uint8_t* data,
                              int32_t size);
int32_t VCAN_SlaveWriteInputs(int32_t board, int32_t port, int32_t mac, const uint8_t* data,
                              int32_t length);

#ifdef __cplusplus
}
#endif

#endif /* VCAN_TEST_H */
