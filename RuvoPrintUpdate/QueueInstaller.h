#pragma once
// Creates one CUPS queue for every printer of "/tmp/ruvo_printerlist.ini" whose
// model is in the model table.
//
// The program runs as root while the list lies in a folder every local user
// may write: the file is opened once, without following a link, and read only
// when the open file is a regular file of the expected owner. The list is
// deleted only after every queue was created, so a run that failed (CUPS not
// running, say) can be repeated.
#include "PrinterList.h"
#include "UtilLog.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/types.h>

// The CUPS model directory that holds the drivers of the supported models.
inline constexpr char c_szDriverDirectory[] = "Ruvo";
// A list names a handful of printers; anything far larger is not one.
inline constexpr qint64 c_iMaxInstallerListBytes = 1024 * 1024;

struct stQueueCommand {
    QString strQueue;      // the queue name, for messages
    QStringList arguments; // lpadmin's arguments, one queue
    QString logText;       // the same command as a person would type it
};

// One lpadmin command per record whose model the table knows, in record order;
// other records are skipped.
QList<stQueueCommand> BuildAddQueueCommands(const QList<stPrinterInfo> &printers);

// Why an opened list file may not be read: empty when it may. Regular files of
// `requiredOwner` no larger than c_iMaxInstallerListBytes pass.
QString CheckInstallerListFile(const struct stat &status, uid_t requiredOwner);

enum class enInstallerList {
    Missing,  // no such file: nothing to do
    Refused,  // not read, and never deleted
    Accepted, // read
};

struct stInstallerList {
    enInstallerList enState = enInstallerList::Missing;
    QString strProblem;            // for Refused
    QList<stPrinterInfo> printers; // for Accepted, each URI without enclosing quotes
    dev_t device = 0;              // the file that was read
    ino_t inode = 0;
};

// Opens `path` once (no link followed, no blocking on a pipe), checks the open
// file and reads it. Never deletes it.
stInstallerList ReadInstallerPrinterList(const QString &path, uid_t requiredOwner);
// Deletes the list that was read, unless `path` names another file by now.
bool RemoveInstallerPrinterList(const QString &path, const stInstallerList &list);

// Reads the list at `path`, runs lpadmin for each printer of a known model,
// reports each failure on standard error and deletes the list when every
// queue was created. Returns the exit status: 0 done (or no list), 1 refused
// list or a queue not created.
int AddPrinter(const QString &path, uid_t requiredOwner);
// The same for "/tmp/ruvo_printerlist.ini", which must belong to root.
int AddPrinter();

// Where this program's log goes (set in main).
stLogLocation QueueInstallerLogLocation();
