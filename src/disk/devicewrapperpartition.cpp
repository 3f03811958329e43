#include "devicewrapperpartition.h"

#include "devicewrapper.h"

#include <stdexcept>

DeviceWrapperPartition::DeviceWrapperPartition(DeviceWrapper *dw, quint64 partStart,
                                               quint64 partLen, QObject *parent)
    : QObject(parent), _dw(dw), _partStart(partStart), _partLen(partLen),
      _partEnd(partStart + partLen), _offset(partStart)
{
}

void DeviceWrapperPartition::read(char *buf, quint64 len)
{
    // Written as a subtraction so that a huge length cannot wrap around the end offset.
    if (len > _partEnd - _offset)
        throw std::runtime_error("Error: trying to read beyond partition");
    _dw->pread(buf, len, _offset);
    _offset += len;
}

void DeviceWrapperPartition::write(const char *buf, quint64 len)
{
    if (len > _partEnd - _offset)
        throw std::runtime_error("Error: trying to write beyond partition");
    _dw->pwrite(buf, len, _offset);
    _offset += len;
}

void DeviceWrapperPartition::seek(quint64 pos)
{
    if (pos > _partLen)
        throw std::runtime_error("Error: trying to seek beyond partition");
    _offset = _partStart + pos;
}

quint64 DeviceWrapperPartition::pos() const
{
    return _offset - _partStart;
}
