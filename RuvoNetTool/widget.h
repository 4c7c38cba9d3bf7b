#pragma once
// The network configuration window: choose a USB printer, read its network
// settings into the form, edit them and write them back. The exchange with the
// printer runs on a worker thread; meanwhile the window's controls are
// disabled, so a click made during it starts nothing.
#include "NetSettings.h"
#include "PrinterList.h"

#include <QList>
#include <QWidget>

class QLineEdit;
class QThread;
class TrdNetExchange;
class Ui_Widget;

class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // True from the start of an exchange until its outcome has been shown.
    bool IsExchanging() const { return m_enRunning != enRun::None; }

signals:
    void SgnExchange(int vid, int pid, const QString &port, const QByteArray &request);

public slots:
    void OnButtonGetClicked();
    void OnButtonSetClicked();
    void OnComboBoxSourceChanged(int index);

private slots:
    void SlotExchangeDone(int result, const QByteArray &reply);

protected:
    // The window cannot be closed while an exchange runs (it ends within seconds).
    void closeEvent(QCloseEvent *event) override;

private:
    void InitLog();
    void InitUI();
    void RefreshDeviceCombobox();
    QList<stPrinterInfo> GetPrinterInfo();
    void SetEditEnable(bool enable);
    bool GetIPFromEdit(QString &text, QLineEdit **group);
    bool SetIPToEdit(const QString &text, QLineEdit **group);
    bool GetSheetInfo(stIPInfo &info);
    bool SetSheetInfo(const stIPInfo &info);
    // The chosen printer's vendor and product id; shows the message and
    // returns false when no printer or no known model is chosen.
    bool ChosenPrinter(stPrinterInfo &printer, int &vid, int &pid);
    int ShowMessageBoxOk(const QString &text);
    void InitWorker();
    void StartExchange(const stPrinterInfo &printer, int vid, int pid, const QByteArray &request);
    void SetControlsEnabled(bool enabled);

    enum class enRun { None, Read, Write };

    Ui_Widget *ui;
    QList<stPrinterInfo> m_printerList; // entry i is device box item i
    QThread *m_workerThread = nullptr;
    TrdNetExchange *m_worker = nullptr; // lives in m_workerThread
    enRun m_enRunning = enRun::None;
};
