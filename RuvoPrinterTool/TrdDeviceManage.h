#pragma once
// Keeps the shared printer list in step with the printer list file, read every
// three seconds in the worker's own thread.
#include "PrinterManager.h"
#include "UtilThreadBase.h"

class TrdDeviceManage : public UtilThreadBase
{
    Q_OBJECT
public:
    static constexpr int c_iPollIntervalMs = 3000;

    explicit TrdDeviceManage(QObject *parent = nullptr);

    void Init(stSharedPrinterList *sharedList);

    // One cycle: reads the file and, when the printers differ, replaces the
    // shared list with fresh Off-line entries and signals. True when replaced.
    bool RunCycle();

    static QList<stPrinterInfo> GetPrinterInfo();
    static void InitStPrinterInfo(stPrinterInfo &info);
    static void InitStPrinterState(stPrinterState &state);
    static QList<stPrinterManager> GetInitPrinterList(const QList<stPrinterInfo> &records);

signals:
    void SgnUpdatePrinterList();

public slots:
    void SlotTaskStart();
    void SlotThreadQuit();

private:
    stSharedPrinterList *m_pSharedList = nullptr; // not owned
};
