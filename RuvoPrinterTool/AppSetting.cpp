#include "AppSetting.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopWidget>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QScreen>

namespace {
const char c_szAutoStartDirectory[] = "/opt/apps/ruvo-printer-q512/entries/autostart/";
const char c_szAutoStartEntryName[] = "ruvo-k40-tool-autostart.desktop";
} // namespace

QString AppSetting::AutoStartDirectory() { return QString::fromUtf8(c_szAutoStartDirectory); }
QString AppSetting::AutoStartEntryPath() { return AutoStartDirectory() + c_szAutoStartEntryName; }
QString AppSetting::AutoStartTemplatePath()
{
    return QCoreApplication::applicationDirPath() + "/" + c_szAutoStartEntryName;
}

AppSetting::AppSetting(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("AppSetting"));
    resize(400, 300);
    setWindowTitle(QStringLiteral("Form"));

    m_checkBoxAutoStart = new QCheckBox(QStringLiteral("AutoStart"), this);
    m_checkBoxAutoStart->setObjectName(QStringLiteral("checkBoxAutoStart"));
    m_checkBoxAutoStart->setGeometry(70, 60, 130, 25);
    m_pushButtonOK = new QPushButton(QStringLiteral("OK"), this);
    m_pushButtonOK->setObjectName(QStringLiteral("pushButtonOK"));
    m_pushButtonOK->setGeometry(70, 250, 80, 25);
    m_pushButtonCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_pushButtonCancel->setObjectName(QStringLiteral("pushButtonCancel"));
    m_pushButtonCancel->setGeometry(250, 250, 80, 25);
    QMetaObject::connectSlotsByName(this);

    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(size());
    setWindowTitle(QStringLiteral("设置"));
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->geometry();
        move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);
    }

    m_checkBoxAutoStart->setText(QStringLiteral("开机启动"));
    m_pushButtonOK->setText(QStringLiteral("确定"));
    m_pushButtonCancel->setText(QStringLiteral("取消"));

    InitOption();
}

bool AppSetting::ReadAutoStartOption()
{
    return QFile::exists(AutoStartEntryPath());
}

void AppSetting::InitOption()
{
    m_checkBoxAutoStart->setChecked(ReadAutoStartOption());
}

bool AppSetting::SaveAutoStartOption(bool on)
{
    if (on) {
        QDir().mkpath(AutoStartDirectory());
        // QFile::copy never overwrites: an existing entry stays as it is.
        return QFile::copy(AutoStartTemplatePath(), AutoStartEntryPath());
    }
    return QFile::remove(AutoStartEntryPath());
}

void AppSetting::SaveOption()
{
    SaveAutoStartOption(m_checkBoxAutoStart->checkState() != Qt::Unchecked);
}

void AppSetting::on_pushButtonOK_clicked()
{
    hide();
    SaveOption();
    InitOption();
}

void AppSetting::on_pushButtonCancel_clicked()
{
    hide();
    InitOption();
}

void AppSetting::closeEvent(QCloseEvent *event)
{
    event->ignore();
    on_pushButtonCancel_clicked();
}
