#pragma once
// Follows one printer's status file, about once a second, in the worker's own
// thread; writes the decoded state into the printer's shared entry and signals
// the window when something the user sees has changed.
#include "PrinterManager.h"
#include "UtilThreadBase.h"

#include <QDateTime>
#include <QStringList>

#include <functional>

class TrdGetPrinterStatus : public UtilThreadBase
{
    Q_OBJECT
public:
    // Runs an external program from an argument list and waits for it; its
    // outcome is not examined.
    using CommandRunner = std::function<void(const QString &program, const QStringList &arguments)>;

    static constexpr int c_iPollIntervalMs = 1000;
    static constexpr int c_iReceiveBufferSize = 2048;

    explicit TrdGetPrinterStatus(QObject *parent = nullptr);

    void Init(int index, stSharedPrinterList *sharedList);
    void SetCommandRunner(CommandRunner runner) { m_runCommand = std::move(runner); }

    // One polling cycle for this worker's position; idles while the position
    // lies beyond the list's end.
    void RunCycle();

    // Results of reading a status file (and of decoding one reply, which
    // gives c_iStatusRead or c_iStatusUnusable).
    static constexpr int c_iStatusUnchanged = 1;  // same time stamp as the last read
    static constexpr int c_iStatusRead = 0;       // read and decoded
    static constexpr int c_iStatusUnusable = -1;  // missing, unreadable or not a status reply

    int GetPrinterStatusFile(const QString &printerName, bool force);
    int CheckPrinterStatus(const unsigned char *reply, unsigned long length);
    static bool CheckStatusChange(stPrinterState newState, stPrinterState currentState);

    const stPrinterManager &WorkingCopy() const { return m_stPrinter; }

signals:
    void SgnUpdatePrinterStatus(int index);

public slots:
    void SlotTaskStart();
    void SlotThreadQuit();

private:
    static void RunCommandAndWait(const QString &program, const QStringList &arguments);

    int m_iIndex = -1;
    stSharedPrinterList *m_pSharedList = nullptr; // not owned
    stPrinterManager m_stPrinter;                 // this thread's working copy
    unsigned char m_szRecvBuf[c_iReceiveBufferSize];
    QDateTime m_dtLastModified;
    CommandRunner m_runCommand;
};
