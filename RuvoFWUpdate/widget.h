#pragma once
// The firmware updater window: choose a USB printer and an image file, confirm,
// and send the image.
#include "PrinterList.h"

#include <QList>
#include <QWidget>

class Ui_Widget;

class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

private slots:
    void on_buttonOK_clicked();
    void on_buttonBrowse_clicked();
    void on_buttonRefresh_clicked();

private:
    void InitLog();
    void InitUI();
    void InitDeviceTable();
    void RefreshDeviceTable();
    QList<stPrinterInfo> GetPrinterInfo();
    int ShowMessageBoxOk(const QString &text);
    int ShowMessageBoxOkCancel(const QString &text);

    Ui_Widget *ui;
    QList<stPrinterInfo> m_printerList; // entry i is table row i
};
