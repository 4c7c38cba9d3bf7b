// What eSCL clients read from the share's mDNS announcements, and which
// announcements change when scanners come and go.
#include "mdns_records.h"

#include <QtTest>

using namespace ruvo_share;

namespace {

ScannerDescription scanner(bool platen, bool feeder, bool colour)
{
    ScannerDescription description;
    description.makeAndModel = "Ruvo K402ADN";
    description.serial = "RV402A0001";
    description.uuid = "0c1f27a4-6b1e-5a2d-8c3f-1234567890ab";
    description.colour = colour;
    description.formats = {"image/jpeg", "application/pdf"};
    description.platen.present = platen;
    description.feeder.present = feeder;
    return description;
}

QStringList texts(const std::vector<std::string> &entries)
{
    QStringList list;
    for (const std::string &entry : entries)
        list << QString::fromStdString(entry);
    return list;
}

ServiceRecord record(const char *key, const char *name, std::vector<std::string> txt)
{
    return ServiceRecord{key, name, std::move(txt)};
}

} // namespace

class TestMdnsRecords : public QObject {
    Q_OBJECT
private slots:
    void txtRecordsSayWhatTheScannerHas_data();
    void txtRecordsSayWhatTheScannerHas();
    void namesAndEntriesFitTheirLimits();
    void changesTouchOnlyWhatChanged_data();
    void changesTouchOnlyWhatChanged();
};

void TestMdnsRecords::txtRecordsSayWhatTheScannerHas_data()
{
    QTest::addColumn<QString>("slug");
    QTest::addColumn<bool>("platen");
    QTest::addColumn<bool>("feeder");
    QTest::addColumn<bool>("colour");
    QTest::addColumn<QString>("admin");
    QTest::addColumn<QStringList>("expected");
    const QStringList common = {"txtvers=1", "vers=2.63"};
    const QString uuid = "uuid=0c1f27a4-6b1e-5a2d-8c3f-1234567890ab";
    QTest::addRow("USB scanner with platen and feeder")
        << "usb-RV402A0001" << true << true << true << ""
        << (common + QStringList{"rs=usb-RV402A0001/eSCL", "ty=Ruvo K402ADN", uuid, "pdl=image/jpeg,application/pdf",
                                 "cs=color,grayscale", "is=platen,adf", "duplex=F"});
    QTest::addRow("grey network scanner, platen only, with its web page")
        << "net-192.168.1.20" << true << false << false << "192.168.1.20"
        << (common + QStringList{"rs=net-192.168.1.20/eSCL", "ty=Ruvo K402ADN", uuid, "pdl=image/jpeg,application/pdf",
                                 "cs=grayscale", "is=platen", "duplex=F", "adminurl=http://192.168.1.20/"});
    QTest::addRow("feeder only")
        << "usb-X" << false << true << true << ""
        << (common + QStringList{"rs=usb-X/eSCL", "ty=Ruvo K402ADN", uuid, "pdl=image/jpeg,application/pdf",
                                 "cs=color,grayscale", "is=adf", "duplex=F"});
}

void TestMdnsRecords::txtRecordsSayWhatTheScannerHas()
{
    QFETCH(QString, slug);
    QFETCH(bool, platen);
    QFETCH(bool, feeder);
    QFETCH(bool, colour);
    QFETCH(QString, admin);
    QFETCH(QStringList, expected);
    ServiceRecord made = UscanRecord(slug.toStdString(), scanner(platen, feeder, colour), admin.toStdString());
    QCOMPARE(texts(made.txt), expected);
    QCOMPARE(QString::fromStdString(made.key), slug);
    QCOMPARE(QString::fromStdString(made.name), QString("Ruvo K402ADN (RV402A0001)"));
}

void TestMdnsRecords::namesAndEntriesFitTheirLimits()
{
    ScannerDescription description = scanner(true, false, true);
    // Three-byte characters: a cut in the middle of one would leave a name no client can show.
    description.makeAndModel = "Ruvo " + std::string(44, 'K') + "扫描仪扫描仪扫描仪";
    description.formats.assign(40, "application/octet-stream");
    ServiceRecord made = UscanRecord("usb-1", description, "");
    QVERIFY(made.name.size() <= 63);
    QVERIFY(made.name.size() >= 61); // cut at the last whole character, not far before it
    QString name = QString::fromUtf8(made.name.data(), static_cast<int>(made.name.size()));
    QVERIFY(!name.contains(QChar::ReplacementCharacter));
    QVERIFY(QString::fromStdString(description.makeAndModel).startsWith(name));
    for (const std::string &entry : made.txt)
        QVERIFY2(entry.size() <= 255, entry.c_str());
    auto pdl = std::find_if(made.txt.begin(), made.txt.end(), [](const std::string &e) { return e.rfind("pdl=", 0) == 0; });
    QVERIFY(pdl != made.txt.end() && pdl->size() == 255);
}

void TestMdnsRecords::changesTouchOnlyWhatChanged_data()
{
    QTest::addColumn<QStringList>("withdrawn");
    QTest::addColumn<QStringList>("announced");
    QTest::addColumn<QStringList>("expectWithdraw");
    QTest::addColumn<QStringList>("expectAnnounce");
    // Records are written "key|name|txt".
    QTest::addRow("nothing changed") << QStringList{"a|A|x=1", "b|B|x=1"} << QStringList{"a|A|x=1", "b|B|x=1"}
                                     << QStringList{} << QStringList{};
    QTest::addRow("a scanner unplugged") << QStringList{"a|A|x=1", "b|B|x=1"} << QStringList{"b|B|x=1"}
                                         << QStringList{"a"} << QStringList{};
    QTest::addRow("a scanner plugged in") << QStringList{"b|B|x=1"} << QStringList{"a|A|x=1", "b|B|x=1"}
                                          << QStringList{} << QStringList{"a"};
    QTest::addRow("its formats changed") << QStringList{"a|A|x=1"} << QStringList{"a|A|x=2"} << QStringList{"a"}
                                         << QStringList{"a"};
    QTest::addRow("its name changed") << QStringList{"a|A|x=1"} << QStringList{"a|A2|x=1"} << QStringList{"a"}
                                      << QStringList{"a"};
    QTest::addRow("all gone") << QStringList{"a|A|x=1", "b|B|x=1"} << QStringList{} << QStringList{"a", "b"}
                              << QStringList{};
}

void TestMdnsRecords::changesTouchOnlyWhatChanged()
{
    QFETCH(QStringList, withdrawn);
    QFETCH(QStringList, announced);
    QFETCH(QStringList, expectWithdraw);
    QFETCH(QStringList, expectAnnounce);
    auto records = [](const QStringList &written) {
        std::vector<ServiceRecord> list;
        for (const QString &text : written) {
            QStringList parts = text.split('|');
            list.push_back(record(qPrintable(parts[0]), qPrintable(parts[1]), {parts[2].toStdString()}));
        }
        return list;
    };
    // The first list is what is announced now, the second what should be.
    AnnouncementChanges changes = ChangesBetween(records(withdrawn), records(announced));
    QCOMPARE(texts(changes.withdraw), expectWithdraw);
    QStringList keys;
    for (const ServiceRecord &made : changes.announce)
        keys << QString::fromStdString(made.key);
    QCOMPARE(keys, expectAnnounce);
}

QTEST_MAIN(TestMdnsRecords)
#include "test_mdns_records.moc"
