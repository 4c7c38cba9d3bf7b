#pragma once
// Base of the tray application's workers: a loop that runs once per object and
// an interruptible sleep that notices a quit request within half a second.
#include <QObject>

#include <atomic>
#include <functional>

class UtilThreadBase : public QObject
{
    Q_OBJECT
public:
    using SleepFunction = std::function<void(int milliseconds)>;

    explicit UtilThreadBase(QObject *parent = nullptr);
    ~UtilThreadBase() override;

    // Sleeps `milliseconds` in slices of 500 ms, checking the quit flag before
    // each; true when the quit flag is set.
    bool WaitForSleep(int milliseconds);

    // The sleep used by WaitForSleep; QThread::msleep unless replaced.
    void SetSleepFunction(SleepFunction sleep) { m_sleep = std::move(sleep); }

    bool IsQuitRequested() const { return m_bQuit.load(); }

protected:
    static constexpr int c_iSleepSliceMs = 500;

    // The workers' loop: runs `cycle`, then sleeps `intervalMs`, until a quit
    // request; returns at once when this object's loop already runs.
    void RunLoop(const std::function<void()> &cycle, int intervalMs);

    bool m_bRunning = false;          // touched only by the worker's own thread
    std::atomic<bool> m_bQuit{false}; // written by the stopping thread, read by the loop
    SleepFunction m_sleep;
};
