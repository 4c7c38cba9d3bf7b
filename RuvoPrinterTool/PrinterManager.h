#pragma once
// One entry of the tray application's shared printer list: the printer as the
// list file names it, followed by its decoded state, copied whole.
#include "PrinterList.h"
#include "PrinterState.h"

#include <QList>

#include <mutex>

struct stPrinterManager : stPrinterInfo, stPrinterState {
    stPrinterManager() = default;
    stPrinterManager(const stPrinterInfo &info, const stPrinterState &state)
        : stPrinterInfo(info), stPrinterState(state) {}

    stPrinterInfo &Info() { return *this; }
    const stPrinterInfo &Info() const { return *this; }
    stPrinterState &State() { return *this; }
    const stPrinterState &State() const { return *this; }
};

// The list owned by the main window and shared with every worker. The list
// worker replaces it whole while status workers copy their entry out and write
// it back, so each of those steps runs with `mutexList` held; the file reads,
// decoding and external commands happen outside the lock.
struct stSharedPrinterList {
    std::mutex mutexList;
    QList<stPrinterManager> listPrinter; // guarded by mutexList
};
