#pragma once
// The daemon's two logs, "ruvo_scan_info.log" and "ruvo_scan_err.log" in the scan
// directory. Every line gets the "[RuvoScanSDK] " prefix and a line feed and goes
// out in one append-mode write, so a process that is killed loses nothing already
// written and the lines of the daemon, connection and data processes never
// interleave within a line.
//
// Neither log can fill the disk: a log that has reached kRuvoLogCap bytes is
// renamed to its rotated copy ("ruvo_scan_info.log.1", "ruvo_scan_err.log.1",
// replacing the older copy) and started afresh. Text that came from a client or
// a scanner goes through RuvoLogText first, so it can never start a line of its
// own or carry terminal control sequences.

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr size_t kRuvoLogCap = 1024 * 1024;
inline constexpr char kRuvoInfoLogName[] = "ruvo_scan_info.log";
inline constexpr char kRuvoErrLogName[] = "ruvo_scan_err.log";
inline constexpr char kRuvoRotatedSuffix[] = ".1";

// Opens both logs in `directory`, truncating them. False if either cannot be opened.
bool RuvoInitDbg(const char *directory = nullptr);
// Closes both logs and reopens them for appending (after a fork).
bool RuvoReopenDbg();
// From now on this process (and each child it forks, with what is left then)
// logs at most `bytes` more, so one client cannot rotate away the lines of the
// others; the line that would pass the bound is replaced by one notice.
inline constexpr size_t kRuvoConnectionLogBytes = 128 * 1024;
void RuvoLimitLogBytes(size_t bytes);
// Closes both logs (tests; processes that end without exit handlers need not).
void RuvoCloseDbg();

void RuvoInfoLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void RuvoErrLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The directory the logs were last opened in ("" before RuvoInitDbg).
std::string RuvoLogDirectory();

// True for the names of the logs and of their rotated copies.
bool RuvoIsLogFileName(std::string_view entry);

// `text` as it may stand inside one log line: every byte outside printable ASCII,
// and the backslash itself, becomes "\xNN". At most about 4 KiB of text is kept
// (a line is never longer); a longer text ends in "...".
std::string RuvoLogText(std::string_view text);

// Info line "** <function name>" written when an operation is entered.
#define RUVO_LOG_ENTER() RuvoInfoLog("** %s", __func__)
