#pragma once
// Loads the chosen firmware image and sends it to the printer on the worker's
// own thread, with the updater's retry rule. The window hears of the progress
// and of the outcome only through queued signals, so it keeps repainting
// however long the printer takes.
#include <QObject>
#include <QString>

class TrdFirmwareUpdate : public QObject
{
    Q_OBJECT
public:
    explicit TrdFirmwareUpdate(QObject *parent = nullptr);

public slots:
    // Loads `path` and sends it to the printer; each piece of the image must be
    // taken within `pieceTimeoutMs`.
    void SlotStart(const QString &path, int vid, int pid, const QString &port, int pieceTimeoutMs);

signals:
    // The share of the image the printer took in the current attempt; starts
    // again from 0 when an attempt is repeated.
    void SgnProgress(int percent);
    // `imageLoaded` false: the file could not be read whole (nothing was sent).
    // Otherwise `result` is the last attempt's result code.
    void SgnFinished(bool imageLoaded, int result);
};
