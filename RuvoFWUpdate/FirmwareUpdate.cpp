#include "FirmwareUpdate.h"

#include "product_paths.h"
#include "UtilLog.h"

#include <climits>
#include <cstdio>

bool CheckFWFile(const QString &path, char **data, int &size)
{
    *data = nullptr;
    size = 0;
    const QByteArray localPath = path.toLocal8Bit();
    FILE *file = fopen(localPath.constData(), "rb");
    if (!file)
        return false;
    RUVO_LOG("open %s success\n", localPath.constData());

    long length = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        length = ftell(file);
    // A length the transfer cannot carry as an int is refused before anything is allocated.
    if (length < 0 || length > INT_MAX || fseek(file, 0, SEEK_SET) != 0) {
        fclose(file);
        return false;
    }
    size = static_cast<int>(length);
    *data = new char[static_cast<size_t>(size) + 1];
    const size_t read = size > 0 ? fread(*data, 1, static_cast<size_t>(size), file) : 0;
    fclose(file);
    RUVO_LOG("len=%d\n", size);
    return read == static_cast<size_t>(size);
}

QString StripFilePrefix(const QString &text)
{
    static const QString prefix = "file://";
    return text.startsWith(prefix, Qt::CaseSensitive) ? text.mid(prefix.size()) : text;
}

int SendWithRetries(const std::function<int()> &attempt, const std::function<void()> &pause)
{
    int result = 0;
    for (int left = c_iFirmwareAttempts; left > 0; --left) {
        result = attempt();
        if (result == 0)
            return result;
        pause();
    }
    return result;
}

QString FirmwareResultMessage(int result)
{
    switch (result) {
    case 0:
        return QString::fromUtf8("操作成功，请等待打印机更新完成，更新过程中请勿断开电源。");
    case -7:
        return QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试更新！");
    case -1:
        return QString::fromUtf8("设备接口初始化失败！");
    case -2:
    case -3:
    case -4:
    case -5:
        return QString::fromUtf8("连接打印机失败，请检查连接状态！");
    default:
        return QString::fromUtf8("未知错误！");
    }
}

stLogLocation FirmwareUpdaterLogLocation()
{
    // The firmware updater writes into the user's own tree.
    return UserLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_fwupdate"));
}
