#include "widget.h"

#include "ModelTable.h"
#include "RuvoPaths.h"
#include "TrdNetExchange.h"
#include "ui_widget.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIntValidator>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>

namespace {

QString WindowTitle()
{
    return QString::fromUtf8("Ruvo打印机网络配置工具");
}

} // namespace

Widget::Widget(QWidget *parent) : QWidget(parent), ui(new Ui_Widget)
{
    ui->setupUi(this);
    InitLog();
    InitUI();
    RefreshDeviceCombobox();
    InitWorker();
}

Widget::~Widget()
{
    // An exchange that still runs ends within its own time limits.
    m_workerThread->quit();
    m_workerThread->wait();
    delete m_worker;
    delete ui;
}

void Widget::InitWorker()
{
    m_workerThread = new QThread(this);
    m_worker = new TrdNetExchange(nullptr);
    m_worker->moveToThread(m_workerThread);
    connect(this, &Widget::SgnExchange, m_worker, &TrdNetExchange::SlotExchange, Qt::QueuedConnection);
    connect(m_worker, &TrdNetExchange::SgnExchangeDone, this, &Widget::SlotExchangeDone, Qt::QueuedConnection);
    m_workerThread->start();
}

void Widget::InitLog()
{
    // The log stays off in normal operation.
}

void Widget::InitUI()
{
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(360, 380);
    setWindowTitle(WindowTitle());
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    static const char *const rowTexts[Ui_Widget::c_iGroupCount] = {
        "IP地址", "子网掩码", "网关地址", "主DNS服务器", "辅助DNS服务器", "主WINS服务器", "辅助WINS服务器"};
    ui->labelDevice->setText(QString::fromUtf8("打印机名称"));
    ui->labelSource->setText(QString::fromUtf8("IP获取方式"));
    for (int g = 0; g < Ui_Widget::c_iGroupCount; ++g)
        ui->rowLabels[g]->setText(QString::fromUtf8(rowTexts[g]));

    ui->comboBoxSource->clear();
    ui->comboBoxSource->addItem("DHCP");
    ui->comboBoxSource->addItem(QString::fromUtf8("静态"));
    ui->comboBoxSource->setCurrentIndex(0);

    QWidget *previous = ui->comboBoxDevice;
    auto chain = [&previous](QWidget *next) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    };
    chain(ui->comboBoxSource);
    for (auto &group : ui->edits) {
        for (QLineEdit *edit : group) {
            chain(edit);
            edit->setValidator(new QIntValidator(0, 255, this));
        }
    }
    chain(ui->buttonGet);
    chain(ui->buttonSet);

    connect(ui->buttonGet, &QPushButton::clicked, this, &Widget::OnButtonGetClicked);
    connect(ui->buttonSet, &QPushButton::clicked, this, &Widget::OnButtonSetClicked);
    connect(ui->comboBoxSource, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Widget::OnComboBoxSourceChanged);
    OnComboBoxSourceChanged(ui->comboBoxSource->currentIndex());
}

QList<stPrinterInfo> Widget::GetPrinterInfo()
{
    return ReadPrinterList(RuvoPaths::PrinterListFile(), IsUsbPrinterOfNetworkModel);
}

void Widget::RefreshDeviceCombobox()
{
    m_printerList = GetPrinterInfo();
    ui->comboBoxDevice->clear();
    for (const stPrinterInfo &printer : m_printerList)
        ui->comboBoxDevice->addItem(printer.strName);
    if (!m_printerList.isEmpty())
        ui->comboBoxDevice->setCurrentIndex(0);
}

void Widget::SetEditEnable(bool enable)
{
    for (auto &group : ui->edits) {
        for (QLineEdit *edit : group)
            edit->setEnabled(enable);
    }
}

void Widget::OnComboBoxSourceChanged(int index)
{
    SetEditEnable(index != 0);
}

bool Widget::GetIPFromEdit(QString &text, QLineEdit **group)
{
    QStringList parts;
    for (int p = 0; p < Ui_Widget::c_iPartCount; ++p)
        parts << group[p]->text();
    const QString joined = parts.join('.');
    if (!IsIPValid(joined))
        return false;
    text = joined;
    return true;
}

bool Widget::SetIPToEdit(const QString &text, QLineEdit **group)
{
    if (!IsIPValid(text))
        return false;
    const QStringList parts = text.split('.', Qt::KeepEmptyParts);
    if (parts.size() != Ui_Widget::c_iPartCount)
        return false;
    for (int p = 0; p < Ui_Widget::c_iPartCount; ++p)
        group[p]->setText(parts.at(p));
    return true;
}

bool Widget::GetSheetInfo(stIPInfo &info)
{
    info.source = ui->comboBoxSource->currentIndex();
    QString *fields[] = {&info.address,      &info.subnet,      &info.gateway,      &info.primaryDNS,
                         &info.secondaryDNS, &info.primaryWINS, &info.secondaryWINS};
    bool valid = true;
    for (int g = 0; g < Ui_Widget::c_iGroupCount; ++g)
        valid = GetIPFromEdit(*fields[g], ui->edits[g]) && valid;
    return valid;
}

bool Widget::SetSheetInfo(const stIPInfo &info)
{
    ui->comboBoxSource->setCurrentIndex(info.source);
    const QString fields[] = {info.address,      info.subnet,      info.gateway,      info.primaryDNS,
                              info.secondaryDNS, info.primaryWINS, info.secondaryWINS};
    bool valid = true;
    for (int g = 0; g < Ui_Widget::c_iGroupCount; ++g)
        valid = SetIPToEdit(fields[g], ui->edits[g]) && valid;
    return valid;
}

bool Widget::ChosenPrinter(stPrinterInfo &printer, int &vid, int &pid)
{
    const int index = ui->comboBoxDevice->currentIndex();
    if (index < 0 || index >= m_printerList.size()) {
        ShowMessageBoxOk(QString::fromUtf8("请选择一个打印机进行操作！"));
        return false;
    }
    printer = m_printerList.at(index);
    if (!GetPrinterVidPid(printer.strModel, vid, pid)) {
        ShowMessageBoxOk(QString::fromUtf8("不支持该打印机型号！"));
        return false;
    }
    return true;
}

void Widget::OnButtonGetClicked()
{
    stPrinterInfo printer;
    int vid = 0;
    int pid = 0;
    if (IsExchanging() || !ChosenPrinter(printer, vid, pid))
        return;
    m_enRunning = enRun::Read;
    StartExchange(printer, vid, pid, ReadRequestFrame());
}

void Widget::OnButtonSetClicked()
{
    stPrinterInfo printer;
    int vid = 0;
    int pid = 0;
    if (IsExchanging() || !ChosenPrinter(printer, vid, pid))
        return;

    stIPInfo info;
    if (!GetSheetInfo(info)) {
        ShowMessageBoxOk(QString::fromUtf8("不正确的地址格式！"));
        return;
    }
    m_enRunning = enRun::Write;
    StartExchange(printer, vid, pid, WriteSendData(info));
}

void Widget::StartExchange(const stPrinterInfo &printer, int vid, int pid, const QByteArray &request)
{
    SetControlsEnabled(false);
    emit SgnExchange(vid, pid, printer.strPort, request);
}

void Widget::SlotExchangeDone(int result, const QByteArray &reply)
{
    const enRun finished = m_enRunning;
    m_enRunning = enRun::None;
    SetControlsEnabled(true);
    if (finished == enRun::Write) {
        // The reply's content is not examined: an answer in time means the printer took it.
        ShowMessageBoxOk(result == 0 ? QString::fromUtf8("设置成功，请等待打印机完成重连！")
                                     : ExchangeFailureMessage(result));
        return;
    }
    if (result != 0) {
        ShowMessageBoxOk(ExchangeFailureMessage(result));
        return;
    }
    stIPInfo info;
    if (!ParseRecvData(reply, info)) {
        ShowMessageBoxOk(QString::fromUtf8("获取数据失败，请稍后重试！"));
        return;
    }
    SetSheetInfo(info);
}

void Widget::SetControlsEnabled(bool enabled)
{
    ui->comboBoxDevice->setEnabled(enabled);
    ui->comboBoxSource->setEnabled(enabled);
    ui->buttonGet->setEnabled(enabled);
    ui->buttonSet->setEnabled(enabled);
    // The address edits follow the address source once the window is free again.
    SetEditEnable(enabled && ui->comboBoxSource->currentIndex() != 0);
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (IsExchanging())
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
