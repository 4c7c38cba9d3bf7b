#include "AppSetting.h"

#include "UtilChmod.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopWidget>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QScreen>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char c_szAutoStartEntryName[] = "ruvo-k40-tool-autostart.desktop";
// A desktop entry is a few hundred bytes.
constexpr qint64 c_iMaxTemplateBytes = 64 * 1024;
constexpr mode_t c_modeEntry = 0644;

} // namespace

QString AppSetting::AutoStartDirectory(const QString &xdgConfigHome, const QString &home)
{
    // The XDG rule: a relative value is invalid and ignored.
    const QString config = (!xdgConfigHome.isEmpty() && QDir::isAbsolutePath(xdgConfigHome))
                               ? xdgConfigHome
                               : home + QStringLiteral("/.config");
    return QDir::cleanPath(config) + QStringLiteral("/autostart/");
}

QString AppSetting::AutoStartDirectory()
{
    return AutoStartDirectory(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
}

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

bool AppSetting::InstallAutoStartEntry(const QString &templatePath, const QString &entryPath)
{
    QFile source(templatePath);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = source.read(c_iMaxTemplateBytes + 1);
    if (bytes.isEmpty() || bytes.size() > c_iMaxTemplateBytes)
        return false;
    // O_EXCL: an existing entry stays as it is, and a link in its place is
    // neither followed nor replaced.
    const QByteArray name = QFile::encodeName(entryPath);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, c_modeEntry);
    if (fd < 0)
        return false;
    bool complete = false;
    {
        // The file object owns the descriptor and closes it.
        QFile entry;
        if (!entry.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
        } else {
            // Exactly 0644, whatever the umask made of it.
            complete = entry.write(bytes) == bytes.size() && entry.flush() && ::fchmod(fd, c_modeEntry) == 0;
        }
    }
    if (!complete)
        ::unlink(name.constData());
    return complete;
}

bool AppSetting::SaveAutoStartOption(bool on)
{
    if (on) {
        if (!MakeUserDirectory(AutoStartDirectory()))
            return false;
        return InstallAutoStartEntry(AutoStartTemplatePath(), AutoStartEntryPath());
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
