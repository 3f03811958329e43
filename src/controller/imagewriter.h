#pragma once

#include "drivelistmodel.h"
#include "powersaveblocker.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QMap>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QQmlApplicationEngine;
class QTranslator;
class DownloadThread;
class DownloadExtractThread;

// The one object the window and the head-less writer drive: holds the job description,
// builds and starts the job thread, relays its progress by polling and reports its end.
class ImageWriter : public QObject
{
    Q_OBJECT
public:
    explicit ImageWriter(QObject *parent = nullptr);
    ~ImageWriter() override;

    Q_INVOKABLE void setSerialPort(const QString &serPort);
    Q_INVOKABLE void setEthPort(const QString &ethPort);
    Q_INVOKABLE void setSrc(const QUrl &url, quint64 downloadLen = 0, quint64 extrLen = 0,
                            QByteArray expectedHash = QByteArray(), bool multifilesinzip = false,
                            QString parentcategory = QString(), QString osname = QString(),
                            QByteArray initFormat = QByteArray());
    Q_INVOKABLE void setBootloaderHashes(const QByteArray &tiboot3Hash,
                                         const QByteArray &tisplHash,
                                         const QByteArray &ubootHash);
    Q_INVOKABLE void setDst(const QString &device, quint64 deviceSize = 0);
    Q_INVOKABLE void setVerifyEnabled(bool verify);
    Q_INVOKABLE bool readyToWrite();
    Q_INVOKABLE void startWrite();
    Q_INVOKABLE void cancelWrite();
    Q_INVOKABLE bool isCached(const QUrl &url, const QByteArray &sha256);
    Q_INVOKABLE bool isNetworkDownload();
    Q_INVOKABLE void startDriveListPolling();
    Q_INVOKABLE void stopDriveListPolling();
    Q_INVOKABLE QString fileNameFromUrl(const QUrl &url);
    Q_INVOKABLE QString srcFileName();
    Q_INVOKABLE QUrl constantOsListUrl() const;
    Q_INVOKABLE QString constantVersion() const;
    Q_INVOKABLE bool isVersionNewer(const QString &version);
    Q_INVOKABLE bool isOnline();
    Q_INVOKABLE bool isEmbeddedMode();
    Q_INVOKABLE bool hasMouse();
    Q_INVOKABLE QStringList getSerialPortList();
    Q_INVOKABLE QStringList getEthPortList();
    Q_INVOKABLE bool getBoolSetting(const QString &key);
    Q_INVOKABLE void setSetting(const QString &key, const QVariant &value);
    Q_INVOKABLE void setImageCustomization(const QByteArray &config, const QByteArray &cmdline,
                                           const QByteArray &firstrun,
                                           const QByteArray &cloudinit,
                                           const QByteArray &cloudinitNetwork,
                                           const QByteArray &orlinit);
    Q_INVOKABLE bool imageSupportsCustomization();
    Q_INVOKABLE void openFileDialog();

    DriveListModel *getDriveList();
    void setEngine(QQmlApplicationEngine *engine);
    void setCustomCacheFile(const QString &cacheFile, const QByteArray &sha256);
    bool customizationWritesToImage() const;

    // Customization settings: saved window settings, password forms, SSH key, defaults,
    // language and keyboard.
    Q_INVOKABLE void setSavedCustomizationSettings(const QVariantMap &map);
    Q_INVOKABLE QVariantMap getSavedCustomizationSettings();
    Q_INVOKABLE void clearSavedCustomizationSettings();
    Q_INVOKABLE bool hasSavedCustomizationSettings();
    Q_INVOKABLE QString crypt(const QByteArray &password);
    Q_INVOKABLE QString crypt6(const QByteArray &password);
    Q_INVOKABLE QString pbkdf2(const QByteArray &psk, const QByteArray &ssid);
    Q_INVOKABLE QString encrypt_vnc_password(const QString &password);
    Q_INVOKABLE QString getDefaultPubKey();
    Q_INVOKABLE bool hasPubKey();
    Q_INVOKABLE bool hasSshKeyGen();
    Q_INVOKABLE void generatePubKey();
    Q_INVOKABLE QString getCurrentUser();
    Q_INVOKABLE QString getTimezone();
    Q_INVOKABLE QStringList getTimezoneList();
    Q_INVOKABLE QStringList getCountryList();
    Q_INVOKABLE QStringList getKeymapLayoutList();
    Q_INVOKABLE QStringList getTranslations();
    Q_INVOKABLE QString getCurrentLanguage();
    Q_INVOKABLE QString getCurrentKeyboard();
    Q_INVOKABLE void changeLanguage(const QString &newLanguageName);
    Q_INVOKABLE void changeKeyboard(const QString &newKeymapLayout);
    void replaceTranslator(QTranslator *trans);
    // The layout a board announces through its device tree or its keyboard's name; rootPrefix
    // stands in for "/" when reading /proc and /dev.
    static QString detectKeyboardLayout(const QString &rootPrefix = QString());

    // Repository list.
    Q_INVOKABLE void beginOSListFetch();
    Q_INVOKABLE void setCustomOsListUrl(const QUrl &url);
    Q_INVOKABLE bool customRepo();
    Q_INVOKABLE void setHWFilterList(const QByteArray &json, bool inclusive);
    Q_INVOKABLE QByteArray getFilteredOSlist();
    Q_INVOKABLE bool mountUsbSourceMedia();
    Q_INVOKABLE QByteArray getUsbSourceOSlist();
    // The repository server in use: the build's default unless replaced (for controllers
    // constructed afterwards) by setRepositoryServer.
    static QString repositoryServer();
    static void setRepositoryServer(const QString &baseUrl);
    // A board's own view of the machine: the root prefix stands in for "/" where /sys is read
    // and /media is populated; the clock setter replaces settimeofday.
    static void setSystemRoot(const QString &rootPrefix);
    static void setClockSetter(std::function<bool(qint64 secondsSinceEpoch)> setter);
    // The repository URL stored in the board's configuration EEPROM, or empty.
    static QString repositoryUrlFromEeprom();

signals:
    void downloadProgress(QVariant dlnow, QVariant dltotal);
    void sendProgress(QVariant pos);
    void verifyProgress(QVariant now, QVariant total);
    void error(QVariant msg);
    void success();
    void cancelled();
    void finalizing();
    void preparationStatusUpdate(QVariant msg);
    void osListPrepared();
    void networkOnline();
    void networkInfo(QVariant msg);
    void fileSelected(QVariant filename);
    // Reported by the board-flashing jobs.
    void dfuProgress(QVariant percentage, QVariant statusMsg);
    void dfuAuthRequired();

protected slots:
    void startProgressPolling();
    void stopProgressPolling();
    void pollProgress();
    void onSuccess();
    void onError(QString msg);
    void onCancelled();
    void onCacheFileUpdated(QByteArray sha256);
    void onFinalizing();
    void onPreparationStatusUpdate(QString msg);
    void handleNetworkRequestFinished(QNetworkReply *data);
    void pollNetwork();
    void syncTime();
    void onTimeSyncReply(QNetworkReply *reply);
    void onFileSelected(QString filename);

private:
    void _initCacheState();
    void _takeInstanceLock();
    void _recreateUnwritableSettings();
    void _determineLocalImageSize();
    void _sizeLocalZip(const QString &path);
    void _sizeLocalXz(const QString &path);
    bool _shouldCacheDownload();
    void _beep();
    void _startEraseJob();
    void _startAfterDriveFormat(DownloadExtractThread *job);
    void _scanTranslations();
    void _removeTranslator();
    QString _sshDir() const;
    void _requestList(const QUrl &url);
    void _queueSubitemFetches(const QJsonArray &list, int depth);
    QJsonArray _insertSubitems(const QJsonArray &list, const QJsonArray &incoming,
                               const QString &url, int depth);
    QJsonArray _filterByHardware(const QJsonArray &list, int depth);
    void _startTelemetry(const QByteArray &source);

    QNetworkAccessManager *_networkManager;
    QQmlApplicationEngine *_engine = nullptr;
    QUrl _src;
    QUrl _repo;
    QString _dst;
    QString _cacheFileName;
    QString _parentCategory, _osName;
    QString _serialPort, _ethPort;
    QByteArray _expectedHash;
    QByteArray _tiboot3Hash, _tisplHash, _ubootHash;
    QByteArray _cachedFileHash;
    QByteArray _config, _cmdline, _firstrun, _cloudinit, _cloudinitNetwork, _orlinit;
    QByteArray _initFormat;
    quint64 _downloadLen = 0;
    quint64 _extrLen = 0;
    quint64 _devLen = 0;
    quint64 _lastReportedWritten = 0;
    quint64 _lastReportedVerified = 0;
    DriveListModel _drivelist;
    QTimer _polltimer;
    PowerSaveBlocker _powersave;
    DownloadThread *_thread = nullptr;
    bool _verifyEnabled = false;
    bool _multipleFilesInZip = false;
    bool _cachingEnabled = false;
    bool _online = false;
    bool _embeddedMode = false;
    bool _networkDownload = false;
    bool _customCacheFile = false;
    QSettings _settings;
    std::unique_ptr<QLockFile> _instanceLock;

    // Customization settings state.
    QMap<QString, QString> _translations; // native language name -> language code
    QString _currentLang, _currentLangcode;
    QString _currentKeyboard;
    QTranslator *_trans = nullptr;

    // Repository list state.
    QJsonDocument _completeOsList;
    QJsonArray _deviceFilter;
    bool _deviceFilterIsInclusive = false;
    QTimer _networkchecktimer;
    QHash<QUrl, int> _listRepeats; // repeated requests per URL after an unfollowed redirect
};
