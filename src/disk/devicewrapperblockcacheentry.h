#pragma once
// One cached block of the raw device, held in a buffer aligned for unbuffered (direct) I/O.

#include <QObject>
#include <cstddef>

class DeviceWrapperBlockCacheEntry : public QObject
{
    Q_OBJECT
public:
    explicit DeviceWrapperBlockCacheEntry(QObject *parent, size_t blocksize = 4096);
    ~DeviceWrapperBlockCacheEntry() override;

    bool dirty = false;
    char *block;
};
