// Where the icon and the alerts go: the choice between the item, the XEmbed
// icon and the window, and a printer's alerts replacing one another.
#include "DesktopTrayRules.h"

#include <QtTest>

class TestDesktopTrayRules : public QObject
{
    Q_OBJECT
private slots:
    void choosesOneTrayAndKnowsWhenNoneIsThere_data();
    void choosesOneTrayAndKnowsWhenNoneIsThere();
    void alertsOfOnePrinterReplaceEachOther();
    void alertsOfDifferentPrintersAreIndependent();
    void aFailedOrForgottenAlertStartsAfresh();
    void hintsCarryUrgencyAsAByte();
    void iconBytesAreBigEndianArgb();
};

void TestDesktopTrayRules::choosesOneTrayAndKnowsWhenNoneIsThere_data()
{
    QTest::addColumn<bool>("watcher");
    QTest::addColumn<bool>("host");
    QTest::addColumn<bool>("xembed");
    QTest::addColumn<bool>("iconMade");
    QTest::addColumn<bool>("xembedIcon");
    QTest::addColumn<bool>("reachable");
    //                                          watcher host  xembed made   icon   reachable
    QTest::addRow("item host only")          << true  << true  << false << false << false << true;
    QTest::addRow("panel with both: no twin") << true  << true  << true  << true  << false << true;
    QTest::addRow("XEmbed tray only")        << false << false << true  << true  << true  << true;
    QTest::addRow("nothing at all")          << false << false << false << true  << false << false;
    QTest::addRow("watcher without host")    << true  << false << false << false << false << false;
    QTest::addRow("host gone, XEmbed stays") << true  << false << true  << true  << true  << true;
    // Making the icon now would have Qt ask the watcher and wait for it.
    QTest::addRow("watcher first, no icon")  << true  << false << true  << false << false << false;
    QTest::addRow("stale host flag ignored") << false << true  << false << true  << false << false;
}

void TestDesktopTrayRules::choosesOneTrayAndKnowsWhenNoneIsThere()
{
    QFETCH(bool, watcher);
    QFETCH(bool, host);
    QFETCH(bool, xembed);
    QFETCH(bool, iconMade);
    QFETCH(bool, xembedIcon);
    QFETCH(bool, reachable);
    stTrayPresence presence;
    presence.bWatcherOnBus = watcher;
    presence.bHostRegistered = host;
    presence.bXEmbedTray = xembed;
    presence.bXEmbedIconMade = iconMade;
    const stTrayChoice choice = ChooseTray(presence);
    QCOMPARE(choice.bXEmbedIcon, xembedIcon);
    QCOMPARE(choice.bTrayReachable, reachable);
}

namespace {
stAlert Alert(const QString &printer, const QString &text)
{
    return {printer, text, enAlertUrgency::Critical};
}
} // namespace

void TestDesktopTrayRules::alertsOfOnePrinterReplaceEachOther()
{
    AlertBook book;
    auto first = book.Post(Alert("Lab", "one"));
    QVERIFY(first);
    QCOMPARE(first->uReplacesId, 0u);
    QVERIFY(!book.Answered("Lab", 7)); // nothing waited
    QVERIFY(book.IsOurs(7));

    auto second = book.Post(Alert("Lab", "two"));
    QVERIFY(second);
    QCOMPARE(second->uReplacesId, 7u);
    // While that call is out, newer alerts wait and only the newest is sent.
    QVERIFY(!book.Post(Alert("Lab", "three")));
    QVERIFY(!book.Post(Alert("Lab", "four")));
    auto next = book.Answered("Lab", 7);
    QVERIFY(next);
    QCOMPARE(next->alert.strText, QString("four"));
    QCOMPARE(next->uReplacesId, 7u);
    QVERIFY(!book.Answered("Lab", 7));
    QVERIFY(!book.Answered("Lab", 7)); // a stray answer sends nothing
}

void TestDesktopTrayRules::alertsOfDifferentPrintersAreIndependent()
{
    AlertBook book;
    QVERIFY(book.Post(Alert("Lab", "a")));
    auto other = book.Post(Alert("Desk", "b"));
    QVERIFY(other); // not held back by Lab's call
    QCOMPARE(other->uReplacesId, 0u);
    QVERIFY(!book.Answered("Desk", 3));
    QVERIFY(!book.Answered("Lab", 4));
    QCOMPARE(book.Post(Alert("Desk", "c"))->uReplacesId, 3u);
    QCOMPARE(book.Post(Alert("Lab", "d"))->uReplacesId, 4u);
    QVERIFY(!book.IsOurs(0));
    QVERIFY(!book.IsOurs(5));
}

void TestDesktopTrayRules::aFailedOrForgottenAlertStartsAfresh()
{
    AlertBook book;
    QVERIFY(book.Post(Alert("Lab", "a")));
    QVERIFY(!book.Answered("Lab", 9));
    QVERIFY(book.Post(Alert("Lab", "b")));
    QVERIFY(!book.Answered("Lab", 0)); // the service refused it
    QCOMPARE(book.Post(Alert("Lab", "c"))->uReplacesId, 0u);

    // A new service knows none of the old ids; an answer from the old one is dropped.
    QVERIFY(!book.Answered("Lab", 11));
    QVERIFY(book.Post(Alert("Lab", "d")));
    book.Reset();
    QVERIFY(!book.IsOurs(11));
    QVERIFY(!book.Answered("Lab", 12));
    QCOMPARE(book.Post(Alert("Lab", "e"))->uReplacesId, 0u);
}

void TestDesktopTrayRules::hintsCarryUrgencyAsAByte()
{
    // Servers read the urgency only as a byte; an int is ignored.
    const QVariantMap critical = AlertHints({"Lab", "x", enAlertUrgency::Critical}, "ruvo-printer-tool");
    QCOMPARE(critical.value("urgency").userType(), int(QMetaType::UChar));
    QCOMPARE(critical.value("urgency").value<uchar>(), uchar(2));
    QCOMPARE(critical.value("desktop-entry").toString(), QString("ruvo-printer-tool"));
    const QVariantMap normal = AlertHints({"Lab", "x", enAlertUrgency::Normal}, QString());
    QCOMPARE(normal.value("urgency").value<uchar>(), uchar(1));
    QVERIFY(!normal.contains("desktop-entry"));
}

void TestDesktopTrayRules::iconBytesAreBigEndianArgb()
{
    const quint32 pixels[] = {0x80FF1020u, 0x00000001u};
    QCOMPARE(ArgbToNetworkOrder(pixels, 2), QByteArray("\x80\xFF\x10\x20\x00\x00\x00\x01", 8));
    QCOMPARE(ArgbToNetworkOrder(pixels, 0), QByteArray());
}

QTEST_APPLESS_MAIN(TestDesktopTrayRules)
#include "test_desktop_tray_rules.moc"
