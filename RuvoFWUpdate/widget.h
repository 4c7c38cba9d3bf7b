#pragma once
// The firmware updater window: choose a USB printer and an image file, confirm,
// and send the image. The load and the send run on a worker thread; meanwhile
// a modal dialog shows the progress and the window's controls are disabled.
#include "PrinterList.h"

#include <QList>
#include <QWidget>

class QThread;
class TrdFirmwareUpdate;
class FirmwareProgressDialog;
class Ui_Widget;

class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // Each piece of the image must reach the printer within this time; tests
    // shorten it.
    void SetPieceTimeLimit(int milliseconds) { m_iPieceTimeoutMs = milliseconds; }
    // True from the confirmed start of an update until its closing message.
    bool IsUpdating() const { return m_bUpdating; }

signals:
    void SgnStartUpdate(const QString &path, int vid, int pid, const QString &port, int pieceTimeoutMs);

private slots:
    void on_buttonOK_clicked();
    void on_buttonBrowse_clicked();
    void on_buttonRefresh_clicked();
    void SlotUpdateProgress(int percent);
    void SlotUpdateFinished(bool imageLoaded, int result);

protected:
    // The window cannot be closed while an image is being written.
    void closeEvent(QCloseEvent *event) override;

private:
    void InitLog();
    void InitUI();
    void InitDeviceTable();
    void InitWorker();
    void RefreshDeviceTable();
    QList<stPrinterInfo> GetPrinterInfo();
    void SetControlsEnabled(bool enabled);
    int ShowMessageBoxOk(const QString &text);
    int ShowMessageBoxOkCancel(const QString &text);

    Ui_Widget *ui;
    QList<stPrinterInfo> m_printerList; // entry i is table row i
    QThread *m_workerThread = nullptr;
    TrdFirmwareUpdate *m_worker = nullptr; // lives in m_workerThread
    FirmwareProgressDialog *m_progress = nullptr; // shown while updating
    int m_iPieceTimeoutMs;
    bool m_bUpdating = false;
};
