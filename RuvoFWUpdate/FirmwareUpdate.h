#pragma once
// Loading a firmware image and handing it to the printer, with the updater's
// retry rule and closing messages.
#include "UtilLog.h"

#include <QString>

#include <functional>

constexpr int c_iFirmwareAttempts = 3;
constexpr int c_iFirmwareRetryPauseMs = 100;

// The largest image the updater sends. It is held whole in memory, so the
// printer never receives part of an image that could not be read, and every
// attempt sends the same bytes.
constexpr qint64 c_llFirmwareMaxSize = qint64(1) << 30;

// Loads the whole file into a new buffer (freed with delete[] by the caller).
// `data` stays null when the file cannot be opened, is not a regular file, is
// larger than `maxSize`, or when there is no memory for it; true exactly when
// every byte was read.
bool CheckFWFile(const QString &path, char **data, int &size, qint64 maxSize = c_llFirmwareMaxSize);

// A path pasted from a file manager carries "file://"; the plain path follows it.
QString StripFilePrefix(const QString &text);

// Runs `attempt` up to three times until it returns 0, calling `pause` after
// every failed attempt (the third included). Returns the last result.
// When `stop` (if given) says so after a failed attempt and its pause, no
// further attempt is made: a printer that was pulled out cannot take a second.
int SendWithRetries(const std::function<int()> &attempt, const std::function<void()> &pause,
                    const std::function<bool()> &stop = {});

// The closing message for the last result.
QString FirmwareResultMessage(int result);

// Where this program's log goes (set in main).
stLogLocation FirmwareUpdaterLogLocation();
