/*
 * syslog_capture.h - what the process sent to the system log.
 *
 * libkxsyslogcap replaces the C library's syslog() family.  Linked into a
 * test program (or preloaded into another process with LD_PRELOAD) it keeps
 * every record in memory and, when the environment variable
 * KX_SYSLOG_CAPTURE names a file, appends it there as one line:
 * the priority value in decimal, a tab, and the message with "\n" written
 * as the two characters backslash and n (and a backslash as two).
 */
#ifndef KX_SYSLOG_CAPTURE_H
#define KX_SYSLOG_CAPTURE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Number of records captured since the last clear. */
int kxcap_count(void);
/* Record i: its message (valid until the next clear) and its priority. */
const char *kxcap_message(int i, int *priority);
/* Forget every record. */
void kxcap_clear(void);

#ifdef __cplusplus
}
#endif

#endif
