// The filter's log: syslog (facility mail) or standard error, one line a call.
#pragma once

#include <syslog.h>

// Chooses where lines go; called once, before any thread starts.
void log_open(bool to_stderr);

// Writes one line. `priority` is a syslog priority (LOG_INFO, LOG_ERR, ...).
void log_line(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
