#pragma once
// From a failed USB operation's result code to what the user is told. The
// network tool and the firmware updater word some of it differently, so each
// passes its own texts; the grouping of the codes is the same for both.
#include <QString>

struct stUsbFailureTexts {
    QString strTransfer; // -7: the printer did not take the data or did not answer in time
    QString strInit;     // -1: the USB library did not start
    QString strConnect;  // -2 to -5: printer not found, no printer interface, not opened, not claimed
    QString strUnknown;  // any other code
};

QString UsbFailureMessage(int result, const stUsbFailureTexts &texts);
