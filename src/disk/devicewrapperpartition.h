#pragma once
// A window onto one partition of a wrapped device, with its own position and bounds.

#include <QObject>

class DeviceWrapper;

class DeviceWrapperPartition : public QObject
{
    Q_OBJECT
public:
    DeviceWrapperPartition(DeviceWrapper *dw, quint64 partStart, quint64 partLen,
                           QObject *parent = nullptr);

    void read(char *buf, quint64 len);
    void write(const char *buf, quint64 len);
    void seek(quint64 pos);
    quint64 pos() const;

protected:
    DeviceWrapper *_dw;
    quint64 _partStart;
    quint64 _partLen;
    quint64 _partEnd;
    quint64 _offset;
};
