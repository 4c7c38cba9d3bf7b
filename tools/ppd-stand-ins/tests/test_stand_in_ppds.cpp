// The generated stand-in driver files: one per model, each accepted by
// cupstestppd and naming its model as the queue remover reads it.
#include "ModelTable.h"
#include "QueueRemover.h"
#include "UtilCommand.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

class TestStandInPpds : public QObject
{
    Q_OBJECT

private slots:
    void onePerModel();
    void validDriverFile_data();
    void validDriverFile();
};

void TestStandInPpds::onePerModel()
{
    QStringList expected;
    for (const stModelInfo &model : c_stModelInfoList)
        expected << model.strPPDFile;
    expected.sort();
    QCOMPARE(QDir(QStringLiteral(RUVO_STAND_IN_PPD_DIR)).entryList(QDir::Files, QDir::Name), expected);
}

void TestStandInPpds::validDriverFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("displayName");
    for (const stModelInfo &model : c_stModelInfoList)
        QTest::addRow("%s", qPrintable(model.strModelCode)) << model.strPPDFile << model.strModelName;
}

void TestStandInPpds::validDriverFile()
{
    QFETCH(QString, file);
    QFETCH(QString, displayName);
    const QString path = QStringLiteral(RUVO_STAND_IN_PPD_DIR "/") + file;

    const stCommandResult check = RunCommand(QStringLiteral("cupstestppd"), {"-W", "all", "-q", path}, false);
    QVERIFY2(check.bStarted, "cupstestppd is not installed (scripts/setup.sh installs it)");
    QCOMPARE(check.iExitStatus, 0);

    QFile ppd(path);
    QVERIFY(ppd.open(QIODevice::ReadOnly));
    const QByteArray content = ppd.readAll();
    const QRegularExpression modelName(QStringLiteral("^\\*ModelName: \"([^\"]*)\"$"),
                                       QRegularExpression::MultilineOption);
    QCOMPARE(modelName.match(QString::fromLatin1(content)).captured(1), displayName);
    QCOMPARE(FindSupportedModelInPpd(content).value_or(QString()), displayName);
    // A raw queue: the job's bytes go to the printer without a filter.
    QVERIFY(content.contains("*cupsFilter: \"application/vnd.cups-raw 0 -\"\n"));
}

QTEST_GUILESS_MAIN(TestStandInPpds)
#include "test_stand_in_ppds.moc"
