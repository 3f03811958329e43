#pragma once
// Listens passively on an Ethernet interface for spanning-tree BPDUs and reports a switch whose
// forward delay would hold a freshly linked board back from getting an address in time.

#include <QByteArray>
#include <QObject>
#include <QSocketDescriptor>
#include <QSocketNotifier>

class StpAnalyzer : public QObject
{
    Q_OBJECT
public:
    // threshold: forward delay in seconds above which spanning tree counts as a problem.
    explicit StpAnalyzer(int threshold, QObject *parent = nullptr);
    ~StpAnalyzer() override;

    void startListening(const QByteArray &interfaceName);
    void stopListening();

signals:
    void detected();

private slots:
    void onPacket(QSocketDescriptor socket, QSocketNotifier::Type type);

private:
    int _socket = -1;
    int _threshold;
    QSocketNotifier *_notifier = nullptr;
};
