#include "FirmwareProgressDialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

FirmwareProgressDialog::FirmwareProgressDialog(const QString &printerName, QWidget *parent)
    // A title bar without a close button.
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_label(new QLabel(this)), m_bar(new QProgressBar(this))
{
    setObjectName("progressDialog");
    setWindowTitle(QString::fromUtf8("Ruvo打印机升级助手"));
    setWindowModality(Qt::ApplicationModal);
    m_label->setObjectName("labelProgress");
    m_label->setText(QString::fromUtf8("正在升级打印机 ") + printerName
                     + QString::fromUtf8("……\n请勿断开打印机的连接或电源。"));
    m_label->setWordWrap(true);
    m_bar->setObjectName("progressBar");
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    m_bar->setFormat("%p%");
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    setFixedSize(380, 110);
}

void FirmwareProgressDialog::SetPercent(int percent)
{
    m_bar->setValue(percent);
}

void FirmwareProgressDialog::Finish()
{
    // done() hides the dialog without going through reject() or closeEvent().
    done(QDialog::Accepted);
}

void FirmwareProgressDialog::reject()
{
    // Escape and the window manager's close land here: the write goes on.
}

void FirmwareProgressDialog::closeEvent(QCloseEvent *event)
{
    event->ignore();
}
