#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QFuture>
#include <QJsonArray>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "link/binaryprotocol.h"

class FavouriteList;
class QLabel;
class QLineEdit;
class QListWidgetItem;
class QProgressBar;
class QTcpSocket;
class QTimer;
class QValidator;

namespace Ui {
class MainWindow;
}

// The one window of the client. It owns the link (codec, serial port, TCP
// socket), the request discipline, the command console and the workflows; its
// members are defined in the folder of the subsystem they belong to.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Which guarded request is waiting for an answer (4 is not used).
    enum OneShotState {
        Idle = 0,
        LoopTest = 1,
        GetVersion = 2,
        Rs485Scan = 3,
        FlashFirmware = 5,
        FlashRfidChip = 6,
        NetworkRead = 7,
        NetworkWrite = 8,
        AddressTagWrite = 9,
        AddressTagRead = 10,
        FileOpenForRead = 11,
        FileOpenForWrite = 12,
        FileWriting = 13,
        FileReading = 14,
        FileClosingAfterRead = 15,
        FileClosingAfterWrite = 16,
    };
    Q_ENUM(OneShotState)

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // ---- Application shell: window (app/mainwindow.cpp) ----------------------
public slots:
    void setControlsEnabled(bool enable);
private slots:
    void on_tabs_currentChanged(int index);
    void on_tabWidget_currentChanged(int index);

    // ---- Application shell: log views (app/logviews.cpp) ---------------------
public slots:
    void logd(const QString &msg);
    void protoLog(const QByteArray &msg, const QString &prefix);
    void protoLogRaw(const QByteArray &msg, const QString &prefix);
    void binaryProtocolFrameTimeout();
private slots:
    void on_btShowLegend_clicked();
    void on_btClearLogs_clicked();
private:
    void deviceLogWrite(const uint8_t *body, size_t len);
    bool deviceLogShown = false;

    // ---- Device link: serial transport (link/serialtransport.cpp) ------------
public:
    void refreshPortList(const QString &preferredPort);
    void openSerialPort();
    void closeSerialPort();
    void reopenSerialPort();
    void requestVersion();
private slots:
    void on_btSerialConnect_clicked();
    void on_btRefresComPorts_clicked();
    void handleSerialDataReady();
    void handleSerialDataError(QSerialPort::SerialPortError serialPortError);

    // ---- Device link: TCP transport (link/tcptransport.cpp) ------------------
public slots:
    void connectToHost(const QString &address, int port);
    void disconnectHost();
    void onReadyRead();
    void onSocketStateChanged(QAbstractSocket::SocketState socketState);
    void tcpClientError(QAbstractSocket::SocketError socketError);
private slots:
    void on_btNetworkConnect_clicked();

    // ---- Device link: request exchange (link/requestexchange.cpp) ------------
public slots:
    void binaryProtocolWrite(uint8_t *buff, size_t len);
    void binaryProtocolSendSignal(uint8_t *buff, int len);
    void oneShotTimeout();
private:
    void giveUp();

    // ---- Command console: catalogue (console/catalogue.cpp) ------------------
public:
    static QString hexByte(uint8_t value);
    QString commandName(uint32_t code) const;
    void loadCommandCatalogue();
public slots:
    void fillCommandList(int state = 0);
public:

    // ---- Command console: parameter form (console/parameterform.cpp) --------
    static constexpr int MaxParams = 10;
    void clearParameterForm();
private slots:
    void on_lvCommands_currentRowChanged(int currentRow);
    void on_btCommnadExecute_clicked();
    void on_lvCommands_itemDoubleClicked(QListWidgetItem *item);
private:
    void executeSelectedCommand();
public:
    QLabel *paramLabels[MaxParams] = {};
    QLineEdit *paramEdits[MaxParams] = {};
    QString paramTexts[MaxParams];

    // ---- Command console: favourites (console/favourites.cpp) ----------------
    void loadFavourites();
    void refreshFavourites();
public slots:
    void addNewFavCommand(int idx, const QString &name, const QString &hex);
private slots:
    void on_btAddFavCommand_clicked();
    void on_btEditFavCommand_clicked();
    void on_btDeleteFavCommand_clicked();
    void on_btFavDown_clicked();
    void on_btFavUp_clicked();
    void on_lvFavCommands_itemDoubleClicked(QListWidgetItem *item);
public:
    FavouriteList *favourites = nullptr;

    // ---- Command console: response dispatcher (console/dispatcher.cpp) -------
public slots:
    void binaryProtocolFrameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len);
private:
    void dispatchAnswer(uint8_t code, const QByteArray &data);
    void dispatchError(bool hasCode, uint8_t code, const QByteArray &data);
    void decodeVersion(const QString &text);
    void decodeTagCount(const QByteArray &data);
    void decodeUid(const QByteArray &data);

    // ---- Device workflows: firmware update (workflows/firmwareupdate.cpp) ----
public:
    void firmwareBeginAnswered();
    void firmwareFrameAnswered();
    void firmwareEndAnswered();

    // ---- Device workflows: RFID chip update (workflows/chipupdate.cpp) -------
    void chipUpdateAnswered();
    void chipUpdateFinished();

    // ---- Device workflows: file transfer (workflows/filetransfer.cpp) --------
    void fileOpenAnswered(const QByteArray &data);
    void fileReadAnswered(const QByteArray &data);
    void fileWriteAnswered(const QByteArray &data);
    void fileCloseAnswered();
    void deviceRestartAnswered();

    // ---- Device workflows: network settings (workflows/networksettings.cpp) --
    void networkSettingsAnswered(const QByteArray &data);

    // ---- Device workflows: address tag and tag tests (workflows/tagtests.cpp)
    void loopTestCount(bool found);
    void loopTestOnUid(uint8_t tagType);
    void loopTestOnHalt();
    void loopTestOnError();
    void addressTagOnActivated();
    void tagTestOnWritePage();
    void tagTestOnReadPage(const QByteArray &data);

    // ---- Device workflows: software polling (workflows/softwarepolling.cpp) --
    void pollingRecordUid(const QString &uid);
    bool pollingRunning() const;
public slots:
    void pollingTimeout();

    // ---- Device discovery: RS485 bus scan (discovery/rs485scan.cpp) ---------
    void rs485ScanNextAddress();
    void rs485ScanDeviceFound(const QString &version);

    // ---- Device discovery: UDP (discovery/udpdiscovery.cpp) ------------------
public slots:
    void updateListTimer();
private:
    void startDiscoveryLoops();
    void stopDiscoveryLoops();

    // ---- Members ---------------------------------------------------------------
public:
    Ui::MainWindow *ui = nullptr;
    QSerialPort serial;
    BinaryProtocol protocol;

    QLabel *statusLabel = nullptr;
    QLabel *statusDetailLabel = nullptr;
    QProgressBar *progressBar = nullptr;

    QTimer *updateTimer = nullptr;
    QTimer *oneShotTimer = nullptr;
    QTimer *pollingTimer = nullptr;

    int oneShotState = Idle;
    int retryCount = 0;

    QTcpSocket *tcpSocket = nullptr;
    bool tcpConnected = false;

    QJsonArray commands;

    QValidator *ipValidator = nullptr;

    QFuture<void> udpScanFuture;
    QFuture<void> udpListenFuture;
};
