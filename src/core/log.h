// Diagnostic lines: "<local time> ERROR : <message>" or "<local time> INFO  : <message>", on
// standard output or, once syslog_enable is set, to syslog at LOG_INFO.
#pragma once

#include <cstddef>

// Process-wide switch set by "-s" before anything else is logged; read on every call.
extern bool syslog_enable;

// Formats the message (which carries its own trailing line feed) behind the time stamp and level
// word and emits the whole line with a single write, so a killed process never loses a buffered
// line and threads never interleave within a line. Never fails the caller.
void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Debugging aid: hex and printable dump of at most the first 128 bytes, 16 a row.
void memdump(const void *data, size_t len);
