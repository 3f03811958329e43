#pragma once

#include <QByteArray>
#include <QObject>
#include <QVariant>

class QCoreApplication;
class ImageWriter;

// The head-less writer: one image to one drive, progress on standard error, exit code 0 or 1.
class Cli : public QObject
{
    Q_OBJECT
public:
    Cli(int &argc, char *argv[]);
    ~Cli() override;
    int run();

protected slots:
    void onSuccess();
    void onError(QVariant msg);
    void onPreparationStatusUpdate(QVariant msg);
    void onDownloadProgress(QVariant dlnow, QVariant dltotal);
    void onSendingProgress(QVariant pos);
    void onVerifyProgress(QVariant now, QVariant total);

private:
    void _printProgress(const QByteArray &label, QVariant now, QVariant total);
    void _clearLine();

    QCoreApplication *_app;
    ImageWriter *_imageWriter;
    int _lastPercent = -1;
    QByteArray _lastMsg;
    bool _quiet = false;
};
