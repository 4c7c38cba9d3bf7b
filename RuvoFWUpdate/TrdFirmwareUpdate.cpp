#include "TrdFirmwareUpdate.h"

#include "FirmwareUpdate.h"
#include "UtilLibusb.h"

#include <QThread>

#include <memory>

TrdFirmwareUpdate::TrdFirmwareUpdate(QObject *parent) : QObject(parent) {}

void TrdFirmwareUpdate::SlotStart(const QString &path, int vid, int pid, const QString &port, int pieceTimeoutMs)
{
    char *loaded = nullptr;
    int size = 0;
    const bool readable = CheckFWFile(path, &loaded, size);
    const std::unique_ptr<char[]> image(loaded);
    if (!readable) {
        emit SgnFinished(false, 0);
        return;
    }

    // One signal per percent, not per piece: a 1 GiB image has 16384 pieces.
    int shown = -1;
    bool deviceGone = false;
    stOneWayOptions options;
    options.pDeviceGone = &deviceGone;
    options.uPieceTimeoutMs = static_cast<unsigned int>(pieceTimeoutMs);
    options.progress = [this, &shown](qint64 sent, qint64 total) {
        const int percent = static_cast<int>(sent * 100 / total);
        if (percent != shown) {
            shown = percent;
            emit SgnProgress(percent);
        }
    };
    const int result = SendWithRetries(
        [&]() {
            shown = 0;
            emit SgnProgress(0);
            return FWUpdateTask(vid, pid, port, image.get(), size, options);
        },
        []() { QThread::msleep(c_iFirmwareRetryPauseMs); }, [&deviceGone]() { return deviceGone; });
    emit SgnFinished(true, result);
}
