#include "TrdNetExchange.h"

#include "NetSettings.h"
#include "UtilLibusb.h"

TrdNetExchange::TrdNetExchange(QObject *parent) : QObject(parent) {}

void TrdNetExchange::SlotExchange(int vid, int pid, const QString &port, const QByteArray &request)
{
    QByteArray send = request;
    unsigned char reply[c_iReplyCapacity] = {};
    int received = 0;
    const int result = USBSendRecvData(vid, pid, port, reinterpret_cast<unsigned char *>(send.data()), send.size(),
                                       reply, c_iReplyCapacity, &received);
    QByteArray bytes;
    if (result == 0 && received > 0 && received <= c_iReplyCapacity)
        bytes = QByteArray(reinterpret_cast<const char *>(reply), received);
    emit SgnExchangeDone(result, bytes);
}
