#include "FirmwareUpdate.h"

#include "UsbResultText.h"
#include "UtilLog.h"
#include "product_paths.h"

#include <cerrno>
#include <climits>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The image file's descriptor, closed on release.
class ImageFile {
public:
    explicit ImageFile(const QByteArray &path)
        // Without blocking: a FIFO put in the file's place must not hold the
        // load for ever (a regular file ignores the flag).
        : m_fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }
    ~ImageFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

// Reads up to `size` bytes; returns how many arrived before the end or an error.
qint64 ReadFully(int fd, char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, data + done, static_cast<size_t>(size - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

} // namespace

bool CheckFWFile(const QString &path, char **data, int &size, qint64 maxSize)
{
    *data = nullptr;
    size = 0;
    const QByteArray localPath = path.toLocal8Bit();
    const ImageFile file(localPath);
    if (file.Fd() < 0)
        return false;
    RUVO_LOG("open %s success\n", localPath.constData());

    struct stat status {};
    // Only a regular file has a length to trust; a length the updater does not
    // send is refused before anything is allocated.
    if (::fstat(file.Fd(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0
        || status.st_size > maxSize || status.st_size > INT_MAX)
        return false;
    size = static_cast<int>(status.st_size);
    *data = new (std::nothrow) char[static_cast<size_t>(size) + 1];
    if (*data == nullptr)
        return false;
    const qint64 read = ReadFully(file.Fd(), *data, size);
    RUVO_LOG("len=%d\n", size);
    return read == size;
}

QString StripFilePrefix(const QString &text)
{
    static const QString prefix = "file://";
    return text.startsWith(prefix, Qt::CaseSensitive) ? text.mid(prefix.size()) : text;
}

int SendWithRetries(const std::function<int()> &attempt, const std::function<void()> &pause,
                    const std::function<bool()> &stop)
{
    int result = 0;
    for (int left = c_iFirmwareAttempts; left > 0; --left) {
        result = attempt();
        if (result == 0)
            return result;
        pause();
        if (stop && stop())
            break;
    }
    return result;
}

QString FirmwareResultMessage(int result)
{
    static const stUsbFailureTexts texts{
        QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试更新！"),
        QString::fromUtf8("设备接口初始化失败！"),
        QString::fromUtf8("连接打印机失败，请检查连接状态！"),
        QString::fromUtf8("未知错误！"),
    };
    if (result == 0)
        return QString::fromUtf8("操作成功，请等待打印机更新完成，更新过程中请勿断开电源。");
    return UsbFailureMessage(result, texts);
}

stLogLocation FirmwareUpdaterLogLocation()
{
    // The firmware updater writes into the user's own tree.
    return UserLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_fwupdate"));
}
