/*
 * Trace library (libHYPERTRACE.so): collects the text lines that the
 * DeviceNet master writes.
 *
 * Lines go to the file named by the environment variable HYPERTRACE_FILE
 * (appended, one line per call; the values "stderr" and "stdout" mean
 * standard error and standard output), each after the seconds since the
 * trace started on a monotonic clock and the writing thread's system number:
 * "    2.104311 [48210] DNM_Online( ) ----> DNM_NoError". A file that cannot be opened is
 * reported once on standard error, and the lines go there instead.
 * With the variable unset, lines are kept in memory, where tests read them
 * with the HyperTraceTest_ functions, when HYPERTRACE_KEEP is set (not to
 * 0); otherwise StartTraceOutput refuses (returns 0), so that the master
 * formats no line that nobody reads.
 */
#ifndef HYPERTRACE_H
#define HYPERTRACE_H

#ifdef __cplusplus
extern "C" {
#endif

int HyperTrace(int trace_id, const char* text);
int SetTraceIDColor(int trace_id, unsigned color);
int SetTraceIDMedium(int trace_id, int medium);
int SetTraceIDFile(int trace_id, const char* file_name);
int StartTraceOutput(void);
int StopTraceOutput(void);

/* Lines kept in memory (newest last); at most the newest 100000 are kept. */
int HyperTraceTest_LineCount(void);
/* Copies line `index` into buffer; returns its full length or -1. */
int HyperTraceTest_GetLine(int index, char* buffer, int size);
void HyperTraceTest_Clear(void);

#ifdef __cplusplus
}
#endif

#endif
