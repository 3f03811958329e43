#pragma once

#include "devicedescriptor.h"
#include "drivelistmodelpollthread.h"

#include <QAbstractListModel>
#include <QHash>
#include <QMap>
#include <vector>

class DriveListItem;

// The candidate destination drives, kept current by a polling thread while the drive picker is
// open. Rows are rebuilt only when a drive comes, goes, or changes size or write protection, so
// the picker neither flickers nor loses its selection every second.
class DriveListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit DriveListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QHash<int, QByteArray> roleNames() const override;
    QVariant data(const QModelIndex &index, int role) const override;

    void startPolling();
    void stopPolling();

public slots:
    void processDriveList(std::vector<Drivelist::DeviceDescriptor> driveList);

private:
    void _beginResetOnce(bool &changed);

    // Keyed by device path, size and write protection; the key order is the row order.
    QMap<QString, DriveListItem *> _drivelist;
    QHash<int, QByteArray> _rolenames;
    DriveListModelPollThread _thread;
};
