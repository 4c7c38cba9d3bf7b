// The command line rules shared by every program: --help and --version answer
// and end, a console program refuses anything else before it does anything, a
// window program leaves the rest to Qt.
#include "CommandLine.h"

#include <QtTest>

#include <string>
#include <vector>

using namespace ruvo_command_line;

namespace {

const stProgram kConsole{"RuvoTool", "Does one thing.", {{"--foreground", "stay"}}};
const stProgram kWindow{"RuvoWindow", "Shows one window.", {{"-hide", "hidden"}}, enUnknownArguments::Ignore};

stParsed Parse(const stProgram &program, const QStringList &arguments)
{
    std::vector<std::string> storage{program.name.data()};
    for (const QString &argument : arguments)
        storage.push_back(argument.toStdString());
    std::vector<const char *> argv;
    for (const std::string &text : storage)
        argv.push_back(text.c_str());
    argv.push_back(nullptr);
    return ParseArguments(program, int(storage.size()), argv.data());
}

} // namespace

Q_DECLARE_METATYPE(enAction)

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void console_data();
    void console();
    void window_data();
    void window();
    void refusedArgumentIsShownSafely_data();
    void refusedArgumentIsShownSafely();
    void texts();
};

void TestCommandLine::console_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<enAction>("action");
    QTest::addColumn<bool>("foreground");
    QTest::addRow("nothing") << QStringList{} << enAction::Run << false;
    QTest::addRow("own option") << QStringList{"--foreground"} << enAction::Run << true;
    QTest::addRow("own option twice") << QStringList{"--foreground", "--foreground"} << enAction::Run << true;
    QTest::addRow("--help") << QStringList{"--help"} << enAction::Help << false;
    QTest::addRow("-h") << QStringList{"-h"} << enAction::Help << false;
    QTest::addRow("--version") << QStringList{"--version"} << enAction::Version << false;
    QTest::addRow("help wins over version") << QStringList{"--version", "--help"} << enAction::Help << false;
    QTest::addRow("help beside own option") << QStringList{"--foreground", "--help"} << enAction::Help << true;
    QTest::addRow("unknown option") << QStringList{"--force"} << enAction::Usage << false;
    QTest::addRow("unknown after --help") << QStringList{"--help", "--force"} << enAction::Usage << false;
    QTest::addRow("unknown before --version") << QStringList{"x", "--version"} << enAction::Usage << false;
    QTest::addRow("own option with a value") << QStringList{"--foreground=yes"} << enAction::Usage << false;
    QTest::addRow("other letter case") << QStringList{"--HELP"} << enAction::Usage << false;
    QTest::addRow("empty argument") << QStringList{""} << enAction::Usage << false;
    QTest::addRow("end of options") << QStringList{"--"} << enAction::Usage << false;
    QTest::addRow("a window program's option") << QStringList{"-hide"} << enAction::Usage << false;
    QTest::addRow("unknown drops own options") << QStringList{"--foreground", "-v"} << enAction::Usage << false;
}

void TestCommandLine::console()
{
    QFETCH(QStringList, arguments);
    QFETCH(enAction, action);
    QFETCH(bool, foreground);
    const stParsed parsed = Parse(kConsole, arguments);
    QCOMPARE(parsed.action, action);
    QCOMPARE(parsed.Has("--foreground"), foreground);
    QCOMPARE(parsed.problem.empty(), action != enAction::Usage);
    QVERIFY(parsed.options.size() <= 1);
}

void TestCommandLine::window_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<enAction>("action");
    QTest::addRow("nothing") << QStringList{} << enAction::Run;
    QTest::addRow("Qt's own options") << QStringList{"-platform", "offscreen", "-display", ":1"} << enAction::Run;
    QTest::addRow("-HIDE in any case") << QStringList{"-HIDE"} << enAction::Run;
    QTest::addRow("--help among others") << QStringList{"-hide", "--help", "junk"} << enAction::Help;
    QTest::addRow("--version") << QStringList{"--version"} << enAction::Version;
}

void TestCommandLine::window()
{
    QFETCH(QStringList, arguments);
    QFETCH(enAction, action);
    QCOMPARE(Parse(kWindow, arguments).action, action);
}

void TestCommandLine::refusedArgumentIsShownSafely_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("shown");
    QTest::addRow("plain") << QByteArray("--force") << QByteArray("'--force'");
    QTest::addRow("terminal escape") << QByteArray("\x1b[2J") << QByteArray("'\\x1b[2J'");
    QTest::addRow("line break") << QByteArray("a\nb") << QByteArray("'a\\x0ab'");
    QTest::addRow("quote and backslash") << QByteArray("'\\") << QByteArray("'\\x27\\x5c'");
    QTest::addRow("UTF-8 bytes") << QByteArray("开") << QByteArray("'\\xe5\\xbc\\x80'");
    QTest::addRow("long") << QByteArray(100, 'a') << QByteArray("'" + QByteArray(64, 'a') + "'...");
}

void TestCommandLine::refusedArgumentIsShownSafely()
{
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, shown);
    QCOMPARE(QByteArray::fromStdString(PrintableArgument(argument.toStdString())), shown);
    const stParsed parsed = Parse(kConsole, {QString::fromLatin1(argument)});
    QCOMPARE(parsed.action, enAction::Usage);
}

void TestCommandLine::texts()
{
    const std::string usage = UsageText(kConsole);
    QVERIFY(QByteArray::fromStdString(usage).startsWith("usage: RuvoTool [--help] [--version] [--foreground]\nDoes one thing.\n"));
    for (const char *line : {"  --help ", "  --version ", "  --foreground "})
        QVERIFY2(usage.find(line) != std::string::npos, line);
    QCOMPARE(QByteArray::fromStdString(VersionText(kConsole)),
             QByteArray("RuvoTool (Ruvo K40 series printer suite) " RUVO_EXPECTED_VERSION "\n"));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
