#pragma once
// Test support: a private cupsd for one test process, with the stand-in driver
// files in the CUPS model directory "Ruvo" and the queues' PPD files at their
// usual place, /etc/cups/ppd/. Both directories are replaced by tmpfs mounts,
// which is only done inside a private mount namespace (the tests' isolated run),
// so the machine's own CUPS is never touched.
#include <QByteArray>
#include <QMap>
#include <QString>

class CupsSandboxFixture
{
public:
    CupsSandboxFixture() = default;
    CupsSandboxFixture(const CupsSandboxFixture &) = delete;
    CupsSandboxFixture &operator=(const CupsSandboxFixture &) = delete;
    ~CupsSandboxFixture();

    // Starts the server and points CUPS_SERVER at it. Returns an empty text on
    // success, otherwise why it could not (the caller skips its tests).
    QString Start();
    void Stop();

    // `lpstat -v` of the private server in the C locale.
    static QByteArray ListQueues();
    // Queue name -> device URI, read from ListQueues() with a pattern of its own.
    static QMap<QString, QString> QueueDevices();
    // The PPD file CUPS copied for a queue (empty when there is none).
    static QByteArray InstalledPpd(const QString &queueName);
    // Removes every queue of the private server.
    static void DeleteAllQueues();

private:
    bool m_bRunning = false;
};
