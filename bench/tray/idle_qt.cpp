// The baseline of the tray benchmark: an idle Qt application with the same kind
// of window (a 64-row table) and a tray icon, so the tray application's figures
// read against what any Qt program on this desktop costs.
#include <QApplication>
#include <QHeaderView>
#include <QSystemTrayIcon>
#include <QTableWidget>

int main(int argc, char **argv)
{
    // Set up like the tray application, which leaves the unused OpenGL stack out.
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication application(argc, argv);
    QTableWidget table(64, 4);
    table.setWindowTitle(QStringLiteral("idle baseline"));
    table.horizontalHeader()->setStretchLastSection(true);
    for (int row = 0; row < 64; ++row) {
        for (int column = 0; column < 4; ++column)
            table.setItem(row, column, new QTableWidgetItem(QStringLiteral("cell %1.%2").arg(row).arg(column)));
    }
    table.resize(600, 300);
    table.show();
    QSystemTrayIcon tray(QIcon(QStringLiteral(":/Icon/Resource/Ruvo.png")));
    tray.show();
    return QApplication::exec();
}
