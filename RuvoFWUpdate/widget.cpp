#include "widget.h"

#include "FirmwareProgressDialog.h"
#include "FirmwareUpdate.h"
#include "ModelTable.h"
#include "RuvoPaths.h"
#include "TrdFirmwareUpdate.h"
#include "UtilLibusb.h"
#include "ui_widget.h"

#include <QCloseEvent>
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

Widget::Widget(QWidget *parent)
    : QWidget(parent), ui(new Ui_Widget), m_iPieceTimeoutMs(static_cast<int>(c_uOneWayPieceTimeoutMs))
{
    ui->setupUi(this);
    InitLog();
    InitUI();
    InitDeviceTable();
    RefreshDeviceTable();
    InitWorker();
}

Widget::~Widget()
{
    // The window refuses to close during an update, so the worker is idle here
    // unless the program is ended some other way; then the write is let finish.
    m_workerThread->quit();
    m_workerThread->wait();
    delete m_worker;
    delete ui;
}

void Widget::InitWorker()
{
    m_workerThread = new QThread(this);
    m_worker = new TrdFirmwareUpdate(nullptr);
    m_worker->moveToThread(m_workerThread);
    connect(this, &Widget::SgnStartUpdate, m_worker, &TrdFirmwareUpdate::SlotStart, Qt::QueuedConnection);
    connect(m_worker, &TrdFirmwareUpdate::SgnProgress, this, &Widget::SlotUpdateProgress, Qt::QueuedConnection);
    connect(m_worker, &TrdFirmwareUpdate::SgnFinished, this, &Widget::SlotUpdateFinished, Qt::QueuedConnection);
    m_workerThread->start();
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
    if (m_bUpdating)
        return;
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

    m_bUpdating = true;
    SetControlsEnabled(false);
    m_progress = new FirmwareProgressDialog(printer.strName, this);
    m_progress->show();
    emit SgnStartUpdate(path, vid, pid, printer.strPort, m_iPieceTimeoutMs);
}

void Widget::SlotUpdateProgress(int percent)
{
    if (m_progress)
        m_progress->SetPercent(percent);
}

void Widget::SlotUpdateFinished(bool imageLoaded, int result)
{
    if (m_progress) {
        m_progress->Finish();
        m_progress->deleteLater();
        m_progress = nullptr;
    }
    SetControlsEnabled(true);
    m_bUpdating = false;
    ShowMessageBoxOk(imageLoaded ? FirmwareResultMessage(result)
                                 : QString::fromUtf8("读取升级文件失败，请检查文件状态！"));
}

void Widget::SetControlsEnabled(bool enabled)
{
    const QList<QWidget *> controls{ui->tablePrinterList, ui->buttonRefresh, ui->lineFilePath, ui->buttonBrowse,
                                    ui->buttonOK};
    for (QWidget *control : controls)
        control->setEnabled(enabled);
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (m_bUpdating)
        event->ignore();
    else
        QWidget::closeEvent(event);
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
