// The tray application: refuses to run beside another copy of the same user,
// then keeps the printer table and tray icon until "退出".
#include "CommandLine.h"
#include "ProcessTable.h"
#include "TrayRules.h"
#include "ruvoprintertoolwidget.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <unistd.h>

namespace {

bool CheckIsRunning()
{
    return IsAnotherCopyRunning(ReadProcessTable(QStringLiteral("/proc"), enProcessOwners::Read),
                                QCoreApplication::applicationName(), ::getuid());
}

void ShowAlreadyRunning()
{
    const QString title = QStringLiteral("Ruvo打印助手");
    QMessageBox box(QMessageBox::Information, title, title + QStringLiteral("已经处于运行中！"),
                    QMessageBox::NoButton, nullptr);
    box.setStandardButtons(QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确  定"));
    box.exec();
}

} // namespace

int main(int argc, char **argv)
{
    // --help and --version answer on the terminal, before any display is
    // needed; every other argument is Qt's or ignored, as before.
    const ruvo_command_line::stProgram program{
        "RuvoPrinterTool",
        "The Ruvo printer tray monitor (Ruvo打印助手): shows the installed printers, their\n"
        "state and toner, and raises a notification when a printer reports a problem.",
        {{"-hide", "start with only the tray icon visible (any letter case)"}},
        ruvo_command_line::enUnknownArguments::Ignore};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    // The window draws only plain widgets. Without this the X11 platform loads
    // an OpenGL stack at start (about 50 MiB resident) that is never used; a
    // value set by the user still wins.
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication application(argc, argv);
    SetLogLocation(TrayLogLocation());
    if (CheckIsRunning()) {
        ShowAlreadyRunning();
        return 0;
    }

    int exitCode = 0;
    {
        RuvoPrinterToolWidget window(nullptr);
        if (CheckIsHide(argc, argv))
            window.hide();
        else
            window.show();
        exitCode = QApplication::exec();
    }
    return exitCode;
}
