#include "drivelistmodelpollthread.h"

#include "linuxdrivelist.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QMetaType>
#include <chrono>

namespace
{

constexpr std::chrono::milliseconds kPollInterval(1000);
constexpr qint64 kSlowPassMs = 1000;
// A loop that has seen the stop request only has to return from run().
constexpr int kLeavingTimeoutMs = 1000;
// One pass is bounded by lsblk's own time limit and the reaping of a killed lsblk.
constexpr int kPassTimeoutMs = 5000;
constexpr int kTerminateTimeoutMs = 1000;

} // namespace

DriveListModelPollThread::DriveListModelPollThread(QObject *parent) : QThread(parent)
{
    qRegisterMetaType<std::vector<Drivelist::DeviceDescriptor>>(
        "std::vector<Drivelist::DeviceDescriptor>");
}

DriveListModelPollThread::~DriveListModelPollThread()
{
    stop();
    if (wait(QDeadlineTimer(kPassTimeoutMs)))
        return;
    qWarning() << "Drive polling did not end in time; terminating it";
    terminate();
    wait(QDeadlineTimer(kTerminateTimeoutMs));
}

void DriveListModelPollThread::start()
{
    std::unique_lock<std::mutex> lock(_mutex);
    _stopRequested = false;
    if (_leaving) {
        lock.unlock();
        if (!wait(QDeadlineTimer(kLeavingTimeoutMs))) {
            qWarning() << "Drive polling did not end in time; not restarting it";
            return;
        }
        lock.lock();
        _leaving = false;
    }
    QThread::start(QThread::InheritPriority);
}

void DriveListModelPollThread::stop()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _stopRequested = true;
    _wakeUp.notify_all();
}

void DriveListModelPollThread::run()
{
    if (!_keepRunning())
        return;
    QElapsedTimer timer;
    do {
        timer.start();
        emit newDriveList(Drivelist::ListStorageDevices());
        const qint64 elapsedMs = timer.elapsed();
        if (elapsedMs > kSlowPassMs)
            qDebug() << "Enumerating drives took a long time:" << elapsedMs / 1000.0 << "seconds";
    } while (_sleepUnlessStopped());
}

// Sleeps one polling interval; a stop request cuts the sleep short.
bool DriveListModelPollThread::_sleepUnlessStopped()
{
    std::unique_lock<std::mutex> lock(_mutex);
    _wakeUp.wait_for(lock, kPollInterval, [this] { return _stopRequested; });
    return _keepRunningLocked();
}

bool DriveListModelPollThread::_keepRunning()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _keepRunningLocked();
}

bool DriveListModelPollThread::_keepRunningLocked()
{
    if (_stopRequested)
        _leaving = true;
    return !_stopRequested;
}
