#pragma once
// The settings window: one option, whether the application starts with the
// desktop session. Its state is always read back from the entry on disk.
#include <QWidget>

class QCheckBox;
class QPushButton;

class AppSetting : public QWidget
{
    Q_OBJECT
public:
    explicit AppSetting(QWidget *parent = nullptr);

    static QString AutoStartDirectory();   // the package's autostart directory
    static QString AutoStartEntryPath();   // its entry; existence is the option's state
    static QString AutoStartTemplatePath();// shipped beside the executable

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
