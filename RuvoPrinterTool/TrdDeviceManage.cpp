#include "TrdDeviceManage.h"

#include "RuvoPaths.h"
#include "TrayRules.h"

TrdDeviceManage::TrdDeviceManage(QObject *parent) : UtilThreadBase(parent) {}

void TrdDeviceManage::Init(stSharedPrinterList *sharedList)
{
    m_pSharedList = sharedList;
}

QList<stPrinterInfo> TrdDeviceManage::GetPrinterInfo()
{
    // The reader starts every record from the initial values of stPrinterInfo.
    return ReadPrinterList(RuvoPaths::PrinterListFile());
}

void TrdDeviceManage::InitStPrinterInfo(stPrinterInfo &info)
{
    info = stPrinterInfo();
}

void TrdDeviceManage::InitStPrinterState(stPrinterState &state)
{
    state = stPrinterState();
}

QList<stPrinterManager> TrdDeviceManage::GetInitPrinterList(const QList<stPrinterInfo> &records)
{
    return BuildInitialPrinterList(records);
}

bool TrdDeviceManage::RunCycle()
{
    if (m_pSharedList == nullptr)
        return false;
    const QList<stPrinterInfo> records = GetPrinterInfo();
    {
        std::lock_guard<std::mutex> lock(m_pSharedList->mutexList);
        if (IsSamePrinterList(records, m_pSharedList->listPrinter))
            return false;
    }
    // Built outside the lock; only the swap holds it. The list worker is the only
    // writer of the list's shape, so nothing changed it since the comparison.
    QList<stPrinterManager> entries = GetInitPrinterList(records);
    {
        std::lock_guard<std::mutex> lock(m_pSharedList->mutexList);
        m_pSharedList->listPrinter.swap(entries);
    }
    entries.clear(); // the old entries, released outside the lock
    emit SgnUpdatePrinterList();
    return true;
}

void TrdDeviceManage::SlotTaskStart()
{
    RunLoop([this] { RunCycle(); }, c_iPollIntervalMs);
}

void TrdDeviceManage::SlotThreadQuit()
{
    m_bQuit.store(true);
}
