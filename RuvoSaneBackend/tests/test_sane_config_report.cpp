// ruvo.conf lines that name no address the scan daemon takes: the backend
// leaves them out of the device list and, under SANE_DEBUG_RUVO, says so on
// stderr once, however often a front end lists the devices.

#include <sane/sane.h>

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

extern "C" {
SANE_Status sane_ruvo_init(SANE_Int *, SANE_Auth_Callback);
void sane_ruvo_exit(void);
SANE_Status sane_ruvo_get_devices(const SANE_Device ***, SANE_Bool);
}

namespace {

// What the calls of `run` wrote to stderr.
template <typename Run>
QString stderrOf(Run run)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "(no capture file)";
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(capture.handle(), STDERR_FILENO);
    run();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    capture.seek(0);
    return QString::fromUtf8(capture.readAll());
}

QStringList deviceNames()
{
    const SANE_Device **devices = nullptr;
    QStringList names;
    if (sane_ruvo_get_devices(&devices, SANE_FALSE) != SANE_STATUS_GOOD || !devices)
        return {"(get_devices failed)"};
    for (int i = 0; devices[i]; ++i)
        names << devices[i]->name;
    return names;
}

} // namespace

class TestSaneConfigReport : public QObject {
    Q_OBJECT
private slots:
    void refusedLinesAreSaidOnceAndLeftOut();
};

void TestSaneConfigReport::refusedLinesAreSaidOnceAndLeftOut()
{
    QTemporaryDir config;
    QVERIFY(config.isValid());
    QFile conf(config.filePath("ruvo.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("# scanners\n192.168.001.5 K402ADN\n127.0.0.2 K402ADN\n\n256.1.1.1 # gone\n127.0.0.3\n");
    conf.close();
    qputenv("SANE_CONFIG_DIR", config.path().toUtf8());
    qputenv("SANE_DEBUG_RUVO", "1");

    QStringList first, second;
    const QString said = stderrOf([&] {
        SANE_Int version = 0;
        if (sane_ruvo_init(&version, nullptr) != SANE_STATUS_GOOD)
            return;
        first = deviceNames();
        second = deviceNames();
        sane_ruvo_exit();
    });
    const QStringList expected{"net:127.0.0.2", "net:127.0.0.3"};
    QCOMPARE(first, expected);
    QCOMPARE(second, expected);
    QCOMPARE(said.count("192.168.001.5"), 1);
    QCOMPARE(said.count("256.1.1.1"), 1);
    QVERIFY2(said.contains("ruvo.conf line 2: \"192.168.001.5 K402ADN\""), qPrintable(said));
    QVERIFY2(said.contains("ruvo.conf line 5: \"256.1.1.1\""), qPrintable(said));
    QVERIFY2(!said.contains("127.0.0.2\" is not"), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestSaneConfigReport)
#include "test_sane_config_report.moc"
