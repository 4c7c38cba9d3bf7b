#include "TrdGetPrinterStatus.h"

#include "RuvoPaths.h"
#include "TrayRules.h"
#include "UtilCommand.h"
#include "UtilLog.h"
#include "UtilPrinterStatus.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <exception>

TrdGetPrinterStatus::TrdGetPrinterStatus(QObject *parent)
    : UtilThreadBase(parent), m_runCommand(&TrdGetPrinterStatus::RunCommandAndWait)
{
    std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
}

void TrdGetPrinterStatus::Init(int index, stSharedPrinterList *sharedList)
{
    m_iIndex = index;
    m_pSharedList = sharedList;
}

void TrdGetPrinterStatus::RunCommandAndWait(const QString &program, const QStringList &arguments)
{
    // A scheduler that never answers must not hold this printer's worker for ever.
    constexpr int kTimeLimitMs = 15000;
    RunCommandWithin(program, arguments, kTimeLimitMs);
}

bool TrdGetPrinterStatus::CheckStatusChange(stPrinterState newState, stPrinterState currentState)
{
    return IsPrinterStateChanged(newState, currentState);
}

int TrdGetPrinterStatus::CheckPrinterStatus(const unsigned char *reply, unsigned long length)
{
    stPrinterState decoded;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(reply),
                                                     static_cast<int>(length));
    if (!BuildPrinterState(bytes, decoded))
        return c_iStatusUnusable;
    m_stPrinter.State() = decoded;
    return c_iStatusRead;
}

int TrdGetPrinterStatus::GetPrinterStatusFile(const QString &printerName, bool force)
{
    try {
        if (!IsUsablePrinterName(printerName))
            return c_iStatusUnusable;
        const QString path = RuvoPaths::StatusFile(printerName);
        const QFileInfo info(path);
        if (!info.exists()) {
            m_dtLastModified = QDateTime();
            return c_iStatusUnusable;
        }
        // Only a regular file holds a reply; opening a FIFO in its place would
        // wait for a writer for ever.
        if (!info.isFile())
            return c_iStatusUnusable;
        const QDateTime modified = info.lastModified();
        if (!force && modified == m_dtLastModified)
            return c_iStatusUnchanged;
        // Stored before opening: a file that fails is counted once and then
        // reads as unchanged until it changes again (unless forced).
        m_dtLastModified = modified;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return c_iStatusUnusable;
        std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
        // A reply never comes near the buffer's size; a larger file is not one.
        const qint64 got = file.read(reinterpret_cast<char *>(m_szRecvBuf), sizeof(m_szRecvBuf));
        const bool more = !file.atEnd();
        file.close();
        if (got <= 0 || more)
            return c_iStatusUnusable;
        return CheckPrinterStatus(m_szRecvBuf, static_cast<unsigned long>(got));
    } catch (const std::exception &) {
        RUVO_LOG("throw error");
        return c_iStatusRead;
    }
}

void TrdGetPrinterStatus::RunCycle()
{
    if (m_pSharedList == nullptr || m_iIndex < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_pSharedList->mutexList);
        if (m_iIndex >= m_pSharedList->listPrinter.size())
            return;
        m_stPrinter = m_pSharedList->listPrinter.at(m_iIndex);
    }

    const bool force = m_stPrinter.enCurrentStatus == PrinterStatusOffline;
    if (GetPrinterStatusFile(m_stPrinter.strName, force) == c_iStatusUnusable)
        ApplyReadFailure(m_stPrinter.State());

    bool changed = false;
    bool cancelJob = false;
    {
        std::lock_guard<std::mutex> lock(m_pSharedList->mutexList);
        QList<stPrinterManager> &list = m_pSharedList->listPrinter;
        if (m_iIndex >= list.size() || list.at(m_iIndex).strName != m_stPrinter.strName
            || list.at(m_iIndex).strURI != m_stPrinter.strURI)
            return; // the list was replaced meanwhile: this result is stale
        stPrinterManager &entry = list[m_iIndex];
        changed = CheckStatusChange(m_stPrinter.State(), entry.State());
        cancelJob = IsJobCancelStarted(changed, entry.enCurrentStatus, m_stPrinter.enCurrentStatus);
        entry = m_stPrinter;
    }

    if (cancelJob) {
        RUVO_LOG("cancel by printer %s", m_stPrinter.strName.toLocal8Bit().constData());
        // The queue name is one argument: quotes, blanks or '$' in it stay data.
        m_runCommand(QStringLiteral("cancel"), {m_stPrinter.strName});
    }
    if (changed)
        emit SgnUpdatePrinterStatus(m_iIndex);
}

void TrdGetPrinterStatus::SlotTaskStart()
{
    RunLoop([this] { RunCycle(); }, c_iPollIntervalMs);
}

void TrdGetPrinterStatus::SlotThreadQuit()
{
    m_bQuit.store(true);
}
