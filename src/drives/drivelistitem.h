#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// One row of the drive list: a drive as it was when it appeared. Its data never change; a drive
// whose size or write protection changes gets a new item.
class DriveListItem : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString device READ device CONSTANT)
    Q_PROPERTY(QString description READ description CONSTANT)
    Q_PROPERTY(quint64 size READ size CONSTANT)
    Q_PROPERTY(QStringList mountpoints READ mountpoints CONSTANT)
    Q_PROPERTY(bool isUsb READ isUsb CONSTANT)
    Q_PROPERTY(bool isScsi READ isScsi CONSTANT)
    Q_PROPERTY(bool isReadOnly READ isReadOnly CONSTANT)
    Q_PROPERTY(bool isSystem READ isSystem CONSTANT)

public:
    DriveListItem(const QString &device, const QString &description, quint64 size, bool isUsb,
                  bool isScsi, bool isReadOnly, bool isSystem, const QStringList &mountpoints,
                  QObject *parent = nullptr);

    QString device() const { return _device; }
    QString description() const { return _description; }
    quint64 size() const { return _size; }
    QStringList mountpoints() const { return _mountpoints; }
    bool isUsb() const { return _isUsb; }
    bool isScsi() const { return _isScsi; }
    bool isReadOnly() const { return _isReadOnly; }
    bool isSystem() const { return _isSystem; }

    // Size in decimal gigabytes, rounded down, as drive makers label their products.
    Q_INVOKABLE int sizeInGb() const;

private:
    const QString _device;
    const QString _description;
    const quint64 _size;
    const QStringList _mountpoints;
    const bool _isUsb;
    const bool _isScsi;
    const bool _isReadOnly;
    const bool _isSystem;
};
