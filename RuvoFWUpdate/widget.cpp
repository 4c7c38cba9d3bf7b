#include "widget.h"

#include "FirmwareUpdate.h"
#include "ModelTable.h"
#include "RuvoPaths.h"
#include "UtilLibusb.h"
#include "ui_widget.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <QThread>

namespace {

QString WindowTitle()
{
    return QString::fromUtf8("Ruvo打印机升级助手");
}

} // namespace

Widget::Widget(QWidget *parent) : QWidget(parent), ui(new Ui_Widget)
{
    ui->setupUi(this);
    InitLog();
    InitUI();
    InitDeviceTable();
    RefreshDeviceTable();
}

Widget::~Widget()
{
    delete ui;
}

void Widget::InitLog()
{
    // The log stays off in normal operation.
}

void Widget::InitUI()
{
    setWindowIcon(QIcon(":/logo.png"));
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(520, 400);
    setWindowTitle(WindowTitle());
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    ui->label->setText(QString::fromUtf8("选择您要升级的打印机："));
    ui->label_2->setText(QString::fromUtf8("选择您要升级的固件："));
    ui->buttonRefresh->setText(QString::fromUtf8("刷新列表"));
    ui->buttonBrowse->setText(QString::fromUtf8("浏览"));
    ui->buttonOK->setText(QString::fromUtf8("一键升级"));
    ui->buttonRefresh->setDefault(true);
}

void Widget::InitDeviceTable()
{
    QTableWidget *table = ui->tablePrinterList;
    table->setColumnCount(4);
    table->setHorizontalHeaderLabels({QString::fromUtf8("打印机名称"), QString::fromUtf8("打印机型号"),
                                      QString::fromUtf8("连接方式"), QString::fromUtf8("连接状态")});
    table->horizontalHeader()->setStretchLastSection(true);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
}

QList<stPrinterInfo> Widget::GetPrinterInfo()
{
    return ReadPrinterList(RuvoPaths::PrinterListFile(), IsUsbPrinter);
}

void Widget::RefreshDeviceTable()
{
    m_printerList = GetPrinterInfo();
    QTableWidget *table = ui->tablePrinterList;
    table->clearContents();
    table->setRowCount(m_printerList.size());
    for (int i = 0; i < m_printerList.size(); ++i) {
        const stPrinterInfo &printer = m_printerList.at(i);
        const bool connected = QFileInfo(RuvoPaths::StatusFile(printer.strName)).isFile();
        table->setItem(i, 0, new QTableWidgetItem(printer.strName));
        table->setItem(i, 1, new QTableWidgetItem(printer.strModel));
        table->setItem(i, 2, new QTableWidgetItem("USB"));
        table->setItem(i, 3, new QTableWidgetItem(connected ? QString::fromUtf8("已连接")
                                                            : QString::fromUtf8("未连接")));
    }
}

void Widget::on_buttonRefresh_clicked()
{
    RefreshDeviceTable();
}

void Widget::on_buttonBrowse_clicked()
{
    QString start = ui->lineFilePath->text();
    if (start.isEmpty())
        start = QDir::homePath() + "/";
    const QString chosen = QFileDialog::getOpenFileName(this, QString::fromUtf8("选择您要升级的固件："), start,
                                                        "fls Files(*.fls)");
    if (!chosen.isEmpty())
        ui->lineFilePath->setText(chosen);
}

void Widget::on_buttonOK_clicked()
{
    const int row = ui->tablePrinterList->currentRow();
    if (row < 0 || row >= m_printerList.size()) {
        ShowMessageBoxOk(QString::fromUtf8("请选择一个打印机进行操作！"));
        return;
    }
    const stPrinterInfo printer = m_printerList.at(row);

    const QString typed = ui->lineFilePath->text();
    const QString path = StripFilePrefix(typed);
    if (path != typed)
        ui->lineFilePath->setText(path);
    if (!QFileInfo(path).isFile()) {
        ShowMessageBoxOk(QString::fromUtf8("请检查文件路径！"));
        return;
    }
    int vid = 0;
    int pid = 0;
    if (!GetPrinterVidPid(printer.strModel, vid, pid)) {
        ShowMessageBoxOk(QString::fromUtf8("不支持该打印机型号！"));
        return;
    }
    if (ShowMessageBoxOkCancel(QString::fromUtf8("是否升级打印机 ") + printer.strName + QString::fromUtf8(" ？"))
        != QMessageBox::Ok)
        return;

    char *image = nullptr;
    int size = 0;
    if (!CheckFWFile(path, &image, size)) {
        delete[] image;
        ShowMessageBoxOk(QString::fromUtf8("读取升级文件失败，请检查文件状态！"));
        return;
    }
    const int result = SendWithRetries(
        [&]() { return FWUpdateTask(vid, pid, printer.strPort, image, size); },
        []() { QThread::msleep(c_iFirmwareRetryPauseMs); });
    delete[] image;
    ShowMessageBoxOk(FirmwareResultMessage(result));
}

int Widget::ShowMessageBoxOk(const QString &text)
{
    QMessageBox box(QMessageBox::Information, WindowTitle(), text, QMessageBox::Ok, nullptr,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8("确  定"));
    return box.exec();
}

int Widget::ShowMessageBoxOkCancel(const QString &text)
{
    QMessageBox box(QMessageBox::Information, WindowTitle(), text, QMessageBox::Ok | QMessageBox::Cancel,
                    nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8("确  定"));
    box.button(QMessageBox::Cancel)->setText(QString::fromUtf8("取  消"));
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec();
}
