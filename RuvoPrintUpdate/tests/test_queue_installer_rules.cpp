// Which printers get a queue command, and that every value stays one argument.
#include "QueueInstaller.h"

#include <QtTest>

class TestQueueInstallerRules : public QObject
{
    Q_OBJECT

private slots:
    void commandPerKnownModel_data();
    void commandPerKnownModel();
};

void TestQueueInstallerRules::commandPerKnownModel_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QStringList>("arguments"); // empty: no command

    QTest::addRow("known model")
        << "K400" << "Ruvo K400" << "usb://Ruvo/K400?serial=7"
        << QStringList{"-p", "K400", "-E", "-v", "usb://Ruvo/K400?serial=7", "-m", "Ruvo/Ruvo_K400.ppd"};
    QTest::addRow("model in other letter case")
        << "a" << "rUVO l520adn" << "socket://h"
        << QStringList{"-p", "a", "-E", "-v", "socket://h", "-m", "Ruvo/Ruvo_L520ADN.ppd"};
    QTest::addRow("unknown model") << "x" << "Ruvo K4000" << "usb://x" << QStringList{};
    QTest::addRow("model with extra blank") << "x" << "Ruvo  K400" << "usb://x" << QStringList{};
    QTest::addRow("missing section: empty name still gets a command")
        << "" << "Ruvo K400" << "" << QStringList{"-p", "", "-E", "-v", "", "-m", "Ruvo/Ruvo_K400.ppd"};
    QTest::addRow("shell text stays one argument")
        << "a b\"$(x)`y`\\" << "Ruvo K400" << "usb://\" ; z"
        << QStringList{"-p", "a b\"$(x)`y`\\", "-E", "-v", "usb://\" ; z", "-m", "Ruvo/Ruvo_K400.ppd"};
}

void TestQueueInstallerRules::commandPerKnownModel()
{
    QFETCH(QString, name);
    QFETCH(QString, model);
    QFETCH(QString, uri);
    QFETCH(QStringList, arguments);

    stPrinterInfo printer;
    printer.strName = name;
    printer.strModel = model;
    printer.strURI = uri;
    const QList<stQueueCommand> commands = BuildAddQueueCommands({printer});
    if (arguments.isEmpty()) {
        QVERIFY(commands.isEmpty());
        return;
    }
    QCOMPARE(commands.size(), 1);
    QCOMPARE(commands[0].arguments, arguments);
}

QTEST_GUILESS_MAIN(TestQueueInstallerRules)
#include "test_queue_installer_rules.moc"
