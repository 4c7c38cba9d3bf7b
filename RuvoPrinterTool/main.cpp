// The tray application: refuses to run beside another copy, then keeps the
// printer table and tray icon until "退出".
#include "ProcessTable.h"
#include "TrayRules.h"
#include "ruvoprintertoolwidget.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

bool CheckIsRunning()
{
    return IsAnotherCopyRunning(ReadProcessTable(), QCoreApplication::applicationName());
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
