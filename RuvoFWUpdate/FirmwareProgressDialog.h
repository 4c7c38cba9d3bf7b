#pragma once
// The modal dialog shown while an image is written: the printer's name, a
// warning not to unplug it, and the share of the image sent. It has no cancel
// and cannot be closed by the user: a firmware write must not be cut short.
#include <QDialog>

class QLabel;
class QProgressBar;

class FirmwareProgressDialog : public QDialog
{
    Q_OBJECT
public:
    FirmwareProgressDialog(const QString &printerName, QWidget *parent);

    void SetPercent(int percent);
    // Closes the dialog once the update has ended.
    void Finish();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *m_label;
    QProgressBar *m_bar;
};
