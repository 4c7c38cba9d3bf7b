#include "UsbResultText.h"

#include "UtilLibusb.h"

QString UsbFailureMessage(int result, const stUsbFailureTexts &texts)
{
    switch (result) {
    case USB_RESULT_TRANSFER:
        return texts.strTransfer;
    case USB_RESULT_INIT:
        return texts.strInit;
    case USB_RESULT_SEARCH:
    case USB_RESULT_INTERFACE:
    case USB_RESULT_OPEN:
    case USB_RESULT_CLAIM:
        return texts.strConnect;
    default:
        return texts.strUnknown;
    }
}
