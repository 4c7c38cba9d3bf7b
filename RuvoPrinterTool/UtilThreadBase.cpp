#include "UtilThreadBase.h"

#include <QThread>

UtilThreadBase::UtilThreadBase(QObject *parent)
    : QObject(parent), m_sleep([](int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); })
{
}

UtilThreadBase::~UtilThreadBase() = default;

bool UtilThreadBase::WaitForSleep(int milliseconds)
{
    const int slices = milliseconds / c_iSleepSliceMs;
    for (int i = 0; i < slices; ++i) {
        if (m_bQuit.load())
            return true;
        m_sleep(c_iSleepSliceMs);
    }
    const int remainder = milliseconds % c_iSleepSliceMs;
    if (remainder > 0)
        m_sleep(remainder);
    return m_bQuit.load();
}

void UtilThreadBase::RunLoop(const std::function<void()> &cycle, int intervalMs)
{
    if (m_bRunning)
        return;
    m_bRunning = true;
    do {
        cycle();
    } while (!WaitForSleep(intervalMs));
}
