#pragma once
// The network configuration window: choose a USB printer, read its network
// settings into the form, edit them and write them back.
#include "NetSettings.h"
#include "PrinterList.h"

#include <QList>
#include <QWidget>

class QLineEdit;
class Ui_Widget;

class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

public slots:
    void OnButtonGetClicked();
    void OnButtonSetClicked();
    void OnComboBoxSourceChanged(int index);

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

    Ui_Widget *ui;
    QList<stPrinterInfo> m_printerList; // entry i is device box item i
};
