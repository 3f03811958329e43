#include "drivelistmodel.h"

#include "drivelistitem.h"

#include <QSet>
#include <iterator>

namespace
{

QStringList toStringList(const std::vector<std::string> &texts)
{
    QStringList list;
    list.reserve(static_cast<qsizetype>(texts.size()));
    for (const std::string &text : texts)
        list.append(QString::fromStdString(text));
    return list;
}

// The drive the running system lives on is never a destination, whatever it claims to be.
bool holdsRunningSystem(const QStringList &mountpoints)
{
    return mountpoints.contains(QLatin1String("/")) || mountpoints.contains(QLatin1String("C://"));
}

QString driveKey(const Drivelist::DeviceDescriptor &drive)
{
    QString key =
        QString::fromStdString(drive.device) + QLatin1Char(':') + QString::number(drive.size);
    if (drive.isReadOnly)
        key += QLatin1String("ro");
    return key;
}

} // namespace

DriveListModel::DriveListModel(QObject *parent) : QAbstractListModel(parent)
{
    _rolenames = {
        {Qt::UserRole + 1, "device"},   {Qt::UserRole + 2, "description"},
        {Qt::UserRole + 3, "size"},     {Qt::UserRole + 4, "isUsb"},
        {Qt::UserRole + 5, "isScsi"},   {Qt::UserRole + 6, "isReadOnly"},
        {Qt::UserRole + 7, "isSystem"}, {Qt::UserRole + 8, "mountpoints"},
    };
    connect(&_thread, &DriveListModelPollThread::newDriveList, this,
            &DriveListModel::processDriveList);
}

int DriveListModel::rowCount(const QModelIndex &) const
{
    return static_cast<int>(_drivelist.count());
}

QHash<int, QByteArray> DriveListModel::roleNames() const
{
    return _rolenames;
}

QVariant DriveListModel::data(const QModelIndex &index, int role) const
{
    const QByteArray propertyName = _rolenames.value(role);
    const int row = index.row();
    if (propertyName.isEmpty() || row < 0 || row >= _drivelist.count())
        return QVariant();
    return (*std::next(_drivelist.cbegin(), row))->property(propertyName.constData());
}

void DriveListModel::startPolling()
{
    _thread.start();
}

void DriveListModel::stopPolling()
{
    _thread.stop();
}

void DriveListModel::processDriveList(std::vector<Drivelist::DeviceDescriptor> driveList)
{
    bool changed = false;
    QSet<QString> seenKeys;

    for (const Drivelist::DeviceDescriptor &drive : driveList) {
        const QStringList mountpoints = toStringList(drive.mountpoints);
        if (holdsRunningSystem(mountpoints) || drive.size == 0)
            continue;
        const QString key = driveKey(drive);
        seenKeys.insert(key);
        if (_drivelist.contains(key))
            continue;
        _beginResetOnce(changed);
        _drivelist.insert(key,
                          new DriveListItem(QString::fromStdString(drive.device),
                                            QString::fromStdString(drive.description), drive.size,
                                            drive.isUsb, drive.isScsi, drive.isReadOnly,
                                            drive.isSystem, mountpoints, this));
    }

    const QStringList keys = _drivelist.keys();
    for (const QString &key : keys) {
        if (seenKeys.contains(key))
            continue;
        _beginResetOnce(changed);
        // The UI may still be reading the old item while this event is handled.
        _drivelist.take(key)->deleteLater();
    }

    if (changed)
        endResetModel();
}

void DriveListModel::_beginResetOnce(bool &changed)
{
    if (changed)
        return;
    beginResetModel();
    changed = true;
}
