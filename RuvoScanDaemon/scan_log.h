#pragma once
// The daemon's two logs, "ruvo_scan_info.log" and "ruvo_scan_err.log" in the scan
// directory. Every line gets the "[RuvoScanSDK] " prefix and a line feed and is
// flushed at once, so a process that is killed loses nothing already written and
// the lines of the daemon, connection and data processes (separate append-mode
// streams on the same files) never interleave within a line.

#include <string>

// Opens both logs in `directory`, truncating them. False if either cannot be opened.
bool RuvoInitDbg(const char *directory = nullptr);
// Closes both streams and reopens them for appending (after a fork).
bool RuvoReopenDbg();
// Closes both streams (tests; processes that end without exit handlers need not).
void RuvoCloseDbg();

void RuvoInfoLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void RuvoErrLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The directory the logs were last opened in ("" before RuvoInitDbg).
std::string RuvoLogDirectory();

// Info line "** <function name>" written when an operation is entered.
#define RUVO_LOG_ENTER() RuvoInfoLog("** %s", __func__)
