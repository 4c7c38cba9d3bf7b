#pragma once
// The tray application's decisions, as pure functions over values: what counts
// as a change, what a row shows, when a job is cancelled, when the program
// refuses to start. The workers and the window call these; tests reach them
// without threads, files or a display.
#include "PrinterManager.h"
#include "ProcessTable.h"
#include "UtilLog.h"

#include <QList>
#include <QString>

// A printer's state changed for the user when the status, the remaining toner,
// or the error or warning lists (values and order) differ. The order of the two
// arguments does not matter.
bool IsPrinterStateChanged(const stPrinterState &a, const stPrinterState &b);

// Reads that failed in a row before a printer is shown as off-line.
constexpr int c_iReadFailuresBeforeOffline = 10;
// Counts one failed status read; the eleventh in a row turns the printer
// Off-line without errors or warnings (counters keep their last values).
void ApplyReadFailure(stPrinterState &state);

// The printer began cancelling a job: the change moved it into Canceling job
// from any other status. Staying there does not count again.
bool IsJobCancelStarted(bool changed, int entryStatus, int newStatus);

// The list file still names the same printers: same count and, position by
// position, the same name and port. Model, connection type and URI do not count.
bool IsSamePrinterList(const QList<stPrinterInfo> &records, const QList<stPrinterManager> &entries);

// A fresh entry for every record: the record followed by the Off-line state.
QList<stPrinterManager> BuildInitialPrinterList(const QList<stPrinterInfo> &records);

// "USB" for a USB printer, "网络(<port>)" for any other connection type.
QString ConnectionText(const stPrinterInfo &info);
// Remaining toner in hundredths of a percent as "42.50%".
QString TonerText(quint64 remainingToner);

enum class enTrayNotice { None, Critical, Warning };

struct stStateView {
    QString strStateText;  // the table's state cell
    enTrayNotice enNotice = enTrayNotice::None;
    QString strNoticeText; // the tray message, when there is one
};
// The first error wins; otherwise the status text, with a Warning message for
// the first warning, whose description is appended in parentheses only while
// the printer is printing.
stStateView DescribePrinterState(const stPrinterState &state, int language);

// True when any argument after the program name is "-hide", in any letter case.
bool CheckIsHide(int argc, char **argv);

// Another copy runs when more than one process of the user `uid` carries the
// program's command name (the first 15 characters, any letter case): this
// process is one of them. Copies of other users, logged in at the same time,
// do not count.
bool IsAnotherCopyRunning(const QList<stProcessEntry> &table, const QString &applicationName, uid_t uid);

// Printer names are CUPS queue names and never hold a '/'; one that does would
// point the status file outside the configuration directory.
bool IsUsablePrinterName(const QString &name);

// Where this program's log goes (set in main).
stLogLocation TrayLogLocation();
