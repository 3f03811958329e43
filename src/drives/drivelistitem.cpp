#include "drivelistitem.h"

DriveListItem::DriveListItem(const QString &device, const QString &description, quint64 size,
                             bool isUsb, bool isScsi, bool isReadOnly, bool isSystem,
                             const QStringList &mountpoints, QObject *parent)
    : QObject(parent), _device(device), _description(description), _size(size),
      _mountpoints(mountpoints), _isUsb(isUsb), _isScsi(isScsi), _isReadOnly(isReadOnly),
      _isSystem(isSystem)
{
}

int DriveListItem::sizeInGb() const
{
    return static_cast<int>(_size / 1000000000);
}
