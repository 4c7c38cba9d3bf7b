#include "TrayRules.h"

#include "product_paths.h"
#include "UtilLanguageCtrl.h"

bool IsPrinterStateChanged(const stPrinterState &a, const stPrinterState &b)
{
    return a.enCurrentStatus != b.enCurrentStatus
        || a.dwRemainingToner != b.dwRemainingToner
        || a.listError != b.listError
        || a.listWarning != b.listWarning;
}

void ApplyReadFailure(stPrinterState &state)
{
    ++state.iReadFailCount;
    if (state.iReadFailCount > c_iReadFailuresBeforeOffline) {
        state.enCurrentStatus = PrinterStatusOffline;
        state.iNumberOfError = 0;
        state.iNumberOfWarning = 0;
        state.listError.clear();
        state.listWarning.clear();
        state.iReadFailCount = 0;
    }
}

bool IsJobCancelStarted(bool changed, int entryStatus, int newStatus)
{
    return changed && entryStatus != PrinterStatusCancelingJob && newStatus == PrinterStatusCancelingJob;
}

bool IsSamePrinterList(const QList<stPrinterInfo> &records, const QList<stPrinterManager> &entries)
{
    if (records.size() != entries.size())
        return false;
    for (int i = 0; i < records.size(); ++i) {
        if (records[i].strName != entries[i].strName || records[i].strPort != entries[i].strPort)
            return false;
    }
    return true;
}

QList<stPrinterManager> BuildInitialPrinterList(const QList<stPrinterInfo> &records)
{
    QList<stPrinterManager> entries;
    entries.reserve(records.size());
    for (const stPrinterInfo &record : records)
        entries.append(stPrinterManager(record, stPrinterState()));
    return entries;
}

QString ConnectionText(const stPrinterInfo &info)
{
    if (IsUsbConnection(info.iConnectType))
        return QStringLiteral("USB");
    return QStringLiteral("网络(") + info.strPort + QStringLiteral(")");
}

QString TonerText(quint64 remainingToner)
{
    return QString::asprintf("%.2f%%", static_cast<double>(remainingToner) / 100.0);
}

namespace {
// Values come from the status mappings and stay inside the tables; a stray one
// shows as unknown rather than reading past a table.
int StatusRow(int value) { return value >= 0 && value < PrinterStatusCount ? value : PrinterStatusUnknown; }
int ErrorRow(int value) { return value >= 0 && value < ErrorStatusCount ? value : ErrorUnknown; }
} // namespace

stStateView DescribePrinterState(const stPrinterState &state, int language)
{
    stStateView view;
    if (!state.listError.isEmpty()) {
        view.strStateText = c_strErrorDescText[ErrorRow(state.listError.first())][language];
        view.enNotice = enTrayNotice::Critical;
        view.strNoticeText = view.strStateText;
        return view;
    }
    view.strStateText = c_strStatusLanguageText[StatusRow(state.enCurrentStatus)][language];
    if (!state.listWarning.isEmpty()) {
        const QString warning = c_strErrorDescText[ErrorRow(state.listWarning.first())][language];
        view.enNotice = enTrayNotice::Warning;
        view.strNoticeText = warning;
        if (state.enCurrentStatus == PrinterStatusPrinting)
            view.strStateText += QStringLiteral("(") + warning + QStringLiteral(")");
    }
    return view;
}

bool CheckIsHide(int argc, char **argv)
{
    if (argc < 2)
        return false;
    for (int i = 1; i < argc; ++i) {
        if (QString::fromLatin1(argv[i]).compare(QLatin1String("-hide"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool IsAnotherCopyRunning(const QList<stProcessEntry> &table, const QString &applicationName, uid_t uid)
{
    return CountProcessesNamed(table, applicationName, uid) > 1;
}

bool IsUsablePrinterName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String("..")
        && name != QLatin1String(".");
}

stLogLocation TrayLogLocation()
{
    // The tray application writes into the user's own tree.
    return UserLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_tool"));
}
