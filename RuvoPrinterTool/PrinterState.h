#pragma once
// A printer's decoded state as the tray application stores, compares and shows it.
#include <QList>
#include <QString>
#include <QtGlobal>

enum enPrinterStatus : int {
    PrinterStatusUnknown = 0,
    PrinterStatusVersionMismatch = 1,
    PrinterStatusOffline = 2,
    PrinterStatusReady = 3,
    PrinterStatusInitialize = 4,
    PrinterStatusBusy = 5,
    PrinterStatusCancelingJob = 6,
    PrinterStatusError = 7,
    PrinterStatusPrinting = 8,
    PrinterStatusScanning = 9,
    PrinterStatusCopying = 10,
    PrinterStatusReporting = 11,
    PrinterStatusCount = 12,
};

// Errors and warnings share one enumeration.
enum enErrorStatus : int {
    ErrorUnknown = 0,
    ErrorFixer = 1,
    ErrorLaserDamage = 2,
    ErrorNoScanner = 3,
    ErrorPrinterBreakdown = 4,
    ErrorHighTemperature = 5,
    ErrorFrontCoverOpen = 6,
    ErrorUnsupportedCartridgeSerial = 7,
    ErrorCartridgeMismatch = 8,
    ErrorCartridgeInvalid = 9,
    ErrorCartridge = 10,
    ErrorTonerLow = 11,
    ErrorTonerEmptyLowQuality = 12,
    ErrorTonerEmptyReplace = 13,
    ErrorTonerRunningOut = 14,
    ErrorCartridgeWillBeFull = 15,
    ErrorCartridgeLifeFull = 16,
    ErrorNoCartridge = 17,
    ErrorWasteTonerWillBeFull = 18,
    ErrorWasteTonerFull = 19,
    ErrorCartridgePagesNearLimit = 20,
    ErrorCartridgePageLimitReached = 21,
    ErrorDesignLifeNear = 22,
    ErrorDesignLifeExceeded = 23,
    ErrorMemoryOverflow = 24,
    ErrorCooling = 25,
    ErrorAdfPaperJam = 26,
    ErrorAdfNoPaper = 27,
    ErrorAdfFeedFailed = 28,
    ErrorInvalidSetting = 29,
    ErrorPaperTrayEmpty = 30,
    ErrorManualFeederNoPaper = 31,
    ErrorManualFeederStop = 32,
    ErrorTrayMismatch = 33,
    ErrorPaperJamInside = 34,
    ErrorPaperJamInTray = 35,
    ErrorPaperJamRear = 36,
    ErrorPaperSizeMismatch = 37,
    ErrorInitialSetup = 38,
    ErrorTabletScan = 39,
    ErrorAdfScanWithoutPaper = 40,
    ErrorFileSizeLimit = 41,
    ErrorScannerBreakdown = 42,
    ErrorIpSettings = 43,
    ErrorStatusCount = 44,
};

struct stPrinterState {
    QString strPrinterSerialNumber;
    int enCurrentStatus = PrinterStatusOffline;
    QString strFWVersion;
    QString strVenderName;
    QString strProductName;
    int iNumberOfError = 0;
    int iNumberOfWarning = 0;
    QList<enErrorStatus> listError;
    QList<enErrorStatus> listWarning;
    QString strSupplySerialNumber;
    int enSpplyType = 0;
    quint64 dwRemainingToner = 0;   // hundredths of a percent
    quint64 dwWasteToner = 0;
    quint64 dwOPCRotation = 0;
    quint64 dwNumberOfPages = 0;
    quint64 dwNumberOfPrint = 0;
    quint64 dwPrintDotsCount = 0;
    quint64 dwPrinterNumOfPages = 0;
    quint64 dwPrinterNumOfPrint = 0;
    int iReadFailCount = 0;
};

bool operator==(const stPrinterState &a, const stPrinterState &b);
inline bool operator!=(const stPrinterState &a, const stPrinterState &b) { return !(a == b); }
