#pragma once

#include <QObject>
#include <QString>

// Keeps the machine from suspending or going idle while a job runs, through a logind
// sleep-and-idle inhibitor. logind holds the inhibitor for as long as its descriptor stays open.
// Failing to get one is logged and otherwise ignored: a job runs without it.
class PowerSaveBlocker : public QObject
{
    Q_OBJECT
public:
    explicit PowerSaveBlocker(QObject *parent = nullptr);
    ~PowerSaveBlocker() override;

    void applyBlock(const QString &reason);
    void removeBlock();

private:
    bool _isBlocked = false;
    int _inhibitFd = -1;
};
