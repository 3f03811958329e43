#pragma once

#include "devicedescriptor.h"

#include <QThread>
#include <condition_variable>
#include <mutex>
#include <vector>

// Enumerates the drives once a second and hands each list over through newDriveList. It never
// touches a model itself, so the receiver gets each list as its own copy on its own thread.
class DriveListModelPollThread : public QThread
{
    Q_OBJECT
public:
    explicit DriveListModelPollThread(QObject *parent = nullptr);
    // Ends a running loop before the object goes.
    ~DriveListModelPollThread() override;

    // Runs the loop; a loop that is still running, even one asked to stop, carries on.
    void start();
    // Ends the loop after its current enumeration; returns at once.
    void stop();

signals:
    void newDriveList(std::vector<Drivelist::DeviceDescriptor> driveList);

protected:
    void run() override;

private:
    bool _sleepUnlessStopped();
    bool _keepRunning();
    bool _keepRunningLocked();

    // Standard primitives rather than QMutex: thread sanitizer builds see through them.
    std::mutex _mutex;
    std::condition_variable _wakeUp;
    bool _stopRequested = false;
    // Set once the loop has seen the stop request and is on its way out.
    bool _leaving = false;
};
