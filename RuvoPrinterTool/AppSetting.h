#pragma once
// The settings window: one option, whether the application starts with the
// desktop session. The option writes or removes the user's own XDG autostart
// entry, which every desktop session reads at login; the entry's existence is
// the option's state, read back from disk each time.
#include <QWidget>

class QCheckBox;
class QPushButton;

class AppSetting : public QWidget
{
    Q_OBJECT
public:
    explicit AppSetting(QWidget *parent = nullptr);

    // $XDG_CONFIG_HOME/autostart/ (absolute values only), else ~/.config/autostart/.
    static QString AutoStartDirectory();
    static QString AutoStartDirectory(const QString &xdgConfigHome, const QString &home);
    static QString AutoStartEntryPath();   // its entry; existence is the option's state
    static QString AutoStartTemplatePath();// shipped beside the executable

    // Copies the template to the entry's path, mode 0644, never over an
    // existing entry or through a link placed there.
    static bool InstallAutoStartEntry(const QString &templatePath, const QString &entryPath);

    bool ReadAutoStartOption();
    void InitOption();
    bool SaveAutoStartOption(bool on);
    void SaveOption();

private slots:
    void on_pushButtonOK_clicked();
    void on_pushButtonCancel_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QCheckBox *m_checkBoxAutoStart = nullptr;
    QPushButton *m_pushButtonOK = nullptr;
    QPushButton *m_pushButtonCancel = nullptr;
};
