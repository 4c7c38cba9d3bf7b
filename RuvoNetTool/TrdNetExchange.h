#pragma once
// Runs one request/reply exchange with the printer on the worker's own thread,
// so the window keeps repainting while the printer takes up to 3 s to accept
// the request and 3 s more to answer.
#include <QByteArray>
#include <QObject>
#include <QString>

class TrdNetExchange : public QObject
{
    Q_OBJECT
public:
    explicit TrdNetExchange(QObject *parent = nullptr);

public slots:
    void SlotExchange(int vid, int pid, const QString &port, const QByteArray &request);

signals:
    // `reply` holds the bytes received (empty unless `result` is 0).
    void SgnExchangeDone(int result, const QByteArray &reply);
};
