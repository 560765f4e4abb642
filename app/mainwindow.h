#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFuture>
#include <QHash>
#include <QJsonArray>
#include <QMainWindow>
#include <QPair>
#include <QPointer>
#include <QQueue>
#include <QSerialPort>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "console/answerwatch.h"
#include "discovery/devicediscovery.h"
#include "discovery/rs485scanworkflow.h"
#include "link/binaryprotocol.h"
#include "link/readerlink.h"
#include "link/readersession.h"
#include "link/readerstates.h"
#include "workflows/chipupdateworkflow.h"
#include "workflows/configbackups.h"
#include "workflows/configtransferworkflow.h"
#include "workflows/firmwareupdateworkflow.h"
#include "workflows/networksettingsworkflow.h"
#include "workflows/tagworkflows.h"
#include "workflows/pollingworkflow.h"

class FavouriteList;
struct FavouriteCommand;
class QDialog;
class LogView;
struct FileContent;
class QIODevice;
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

// The one window of the client: the view of a reader session (its link,
// workflows and what the reader says), the command console and the dialogs.
// Its members are defined in app/ (the parts that show the link and the
// workflows) and in console/ and config/ (the console and the dialogs).
class MainWindow : public QMainWindow, public ReaderStates, public SessionHost
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The reader: its session routes what it sends; its link (transports,
    // codec, the guarded request) is what the window's names for those
    // parts (serial, protocol, oneShotTimer, ...) below refer to.
    ReaderSession session;
    ReaderLink &link = session.link;

    // ---- Application shell: window (app/mainwindow.cpp) ----------------------
public:
    Workflow runningWorkflow() const { return session.runningWorkflow(); }
    // The device controls are usable while a link is up and no workflow
    // runs; the running workflow's own Abort, Stop or Cancel stays usable.
    // The connection controls rest while the link is taken down and up on
    // purpose or a connection is being made.
    void applyDeviceGating();
    // True, with a line in the log, when a workflow runs: every action that
    // would start a device exchange asks first.
    bool refuseWhileBusy();
    // What quitting now would put at stake on the reader; empty when nothing.
    QString quitRisk() const;
protected:
    void closeEvent(QCloseEvent *event) override;
public slots:
    void setControlsEnabled(bool enable);
private slots:
    void on_tabs_currentChanged(int index);
    void on_tabWidget_currentChanged(int index);
private:
    bool controlsEnabled = false; // the connected look (setControlsEnabled)
    void setUpAccess();

    // ---- Application shell: log views (app/logviews.cpp) ---------------------
public slots:
    void logd(const QString &msg);
    void protoLog(const QByteArray &msg, const QString &prefix);
    void protoLogRaw(const QByteArray &msg, const QString &prefix);
    void binaryProtocolFrameTimeout();
private slots:
    void on_btShowLegend_clicked();
    void on_btClearLogs_clicked();
public:
    LogView *protocolLog = nullptr; // teProtocol
    LogView *deviceLog = nullptr; // teLogs
private:
    void setUpLogViews();
    void deviceLogWrite(const uint8_t *body, size_t len) override;
    bool deviceLogShown = false;
public:
    // About the most blocks (dumps, messages, device log lines) each log
    // keeps; the oldest go first.
    static constexpr int ProtocolLogBlocks = 20000;
    static constexpr int DeviceLogBlocks = 10000;
    // The logs' scrollback in characters as well: a dump of a 2 KB frame is
    // 6,000 of them, and laid out, a character takes some tens of bytes.
    static constexpr int ProtocolLogCharacters = 2000000;
    static constexpr int DeviceLogCharacters = 1000000;

    // ---- Device link: serial transport (app/serialtransport.cpp) ------------
public:
    void refreshPortList(const QString &preferredPort);
    void openSerialPort();
    void closeSerialPort();
    // What the window shows when the link opens or closes the port.
    void serialPortOpened();
    void serialPortClosed();
    void requestVersion();
    void versionAsked();
private slots:
    void on_btSerialConnect_clicked();
    void on_btRefresComPorts_clicked();
    void handleSerialDataReady();
    void handleSerialDataError(QSerialPort::SerialPortError serialPortError);
private:
    // ---- Device link: TCP transport (app/tcptransport.cpp) ------------------
public slots:
    // Begins connecting; the link reports each attempt and the outcome.
    void connectToHost(const QString &address, int port);
    void tcpLinkUp();
    void disconnectHost();
    // What the window shows when the link lets the connection go.
    void tcpLinkClosed();
    void onReadyRead();
    void onSocketStateChanged(QAbstractSocket::SocketState socketState);
    void tcpClientError(QAbstractSocket::SocketError socketError);
private slots:
    void on_btNetworkConnect_clicked();

    // ---- Device link: received bytes (link/readerlink.h) --------------------
public:
    // Hands what device received to the codec in bounded slices, the event
    // loop running between them.
    void takeReceivedBytes(QIODevice *device) { link.takeReceivedBytes(device); }
    static constexpr qint64 ReceiveBufferBytes = ReaderLink::ReceiveBufferBytes;

    // ---- Device link: request exchange (app/requestexchange.cpp) ------------
public slots:
    void binaryProtocolWrite(uint8_t *buff, size_t len);
    void binaryProtocolSendSignal(uint8_t *buff, int len);
    // The answer timer ran out (the session repeats, starts over or gives
    // up).
    void oneShotTimeout() { session.oneShotTimeout(); }
public:
    // The guarded request, as the link keeps it (link/readerlink.h).
    void beginRequest(int state, const QByteArray &payload, int timeoutMs)
    {
        link.beginRequest(state, payload, timeoutMs);
    }
    bool takeAnswer(uint8_t code, const QByteArray &data) { return link.takeAnswer(code, data); }
    void forgetRequest() { link.forgetRequest(); }
    bool requestOutstanding() const { return link.requestOutstanding(); }
    // A workflow (not the console, not the version check) waits for the
    // answer to its request: only that answer is acted on.
    bool workflowWaiting() const { return link.workflowWaiting(); }
    bool linkOpen() const { return link.linkOpen(); }
    // Ends the running workflow: the reason, then its own failure line.
    void failWorkflow(const QString &reason);
    // ending, when given, says on the last line why it failed or what the
    // reader holds now.
    void failWorkflow(Workflow workflow, const QString &reason, const QString &ending = QString())
    {
        session.failWorkflow(workflow, reason, ending);
    }
    // The link went down (not on purpose): the running workflow ends.
    void linkLost(const QString &reason) { session.linkLost(reason); }
    static constexpr int TransferAttempts = ReaderSession::TransferAttempts;
    bool &linkCycling = link.linkCycling; // the link goes down and up again on purpose
    bool &linkGoing = link.linkGoing; // the link is being lost: nothing more is sent
private:
    // No answer after the last attempt: the link is dropped.
    void giveUp() { session.giveUp(); }
    void showGivenUp();

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
    AnswerWatch consoleAnswers; // the last command executed, until its answer comes

    // ---- Command console: favourites (console/favourites.cpp) ----------------
    void loadFavourites();
    void refreshFavourites();
    void editFavourite(int row, const FavouriteCommand &original, const FavouriteCommand &edited);
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
public:
    void versionReported(const QString &text) override;

    // ---- Device workflows: firmware update (app/firmwareupdate.cpp) ---------
public:
    // The update itself is the session's (workflows/firmwareupdateworkflow.h);
    // the window chooses, checks and confirms the image and shows the steps.
    FirmwareUpdateWorkflow &firmware = *session.firmware;
    // What the reader holds after an update that did not end.
    QString firmwareLeftState() const;
    bool &awaitingFlashedVersion = session.awaitingFlashedVersion; // the version after the restart is logged
    QString &versionBeforeFlash = session.versionBeforeFlash;
    QString &readerVersion = session.readerVersion; // as the reader last reported it
    void startFirmwareUpdate(); // the image was chosen, checked and backed up
    void endFirmwareUpdate();
    void firmwareUpdateEnded(bool flashed);
    // Reads the image chosen for an update; false (with the reason logged)
    // when it cannot be read, is too large or is empty.
    bool loadFirmwareImage(const QString &fileName);
    // Whether a firmware or chip file was read; if not, says why.
    bool checkFirmwareFile(const FileContent &file);
private slots:
    void on_btFlashFirmware_clicked();
public:
    QString firmwareFileName;
    QByteArray firmwareData;
    int firmwareOffset = 0;

    // ---- Device workflows: RFID chip update (app/chipupdate.cpp) ------------
    // The update itself is the session's (workflows/chipupdateworkflow.h);
    // the window chooses, checks and confirms the file and shows the steps.
    ChipUpdateWorkflow &chip = *session.chip;
    QString chipLeftState() const;
    void startChipUpdate();
    void endChipUpdate();
    void chipUpdateEnded(bool updated);
private slots:
    void on_btPNUpdate_clicked();
public:
    // ---- Device workflows: file transfer (app/filetransfer.cpp) -------------
    // The transfer is the session's (workflows/configtransferworkflow.h); the
    // window chooses the file, asks before an upload and takes a verified
    // download where it was read for (downloadTarget).
    ConfigTransferWorkflow &configTransfer = *session.configTransfer;
    void startConfigDownload(int target);
    void startConfigUpload(const QByteArray &content);
    void configDownloaded(int target, const QByteArray &document);
    // Asks the user for a file; tests replace it. Arguments: caption, filter,
    // true for a file to save.
    std::function<QString(const QString &, const QString &, bool)> fileChooser;
    QString chooseFile(const QString &caption, const QString &filter, bool save, const QString &dir = QString());
    void uploadChosenFile(const QString &fileName);
public slots:
    // Uploads a whole document as config.json, byte for byte.
    void updateConfigSignal(const QByteArray &newCfg);
private slots:
    void on_btDownloadConfig_clicked();
    void on_btUploadConfig_clicked();
    void on_btPollingConfiguration_clicked();
    void on_btUartConfiguration_clicked();
    void on_btSleepConfiguration_clicked();
public:
    int &downloadTarget = configTransfer.target;
    QByteArray &transferBuffer = configTransfer.buffer;
    QString transferFileName;
    bool &restarting = session.restarting; // between a restart answer and the reconnect
    // ---- Device workflows: backups and checks (app/configbackup.cpp) --------
    enum class AfterBackup {
        Nothing,
        UploadFile,
        FirmwareUpdate,
        ChipUpdate
    };
    static constexpr int BackupsKept = ConfigBackups::Kept; // per reader
    static QString defaultBackupRoot();
    QString backupRoot = defaultBackupRoot(); // a folder per reader below it
    QString readerLinkName() const;
    QString readerBackupFolder() const;
    void startBackupThen(AfterBackup next);
    void backupDownloaded(const QByteArray &document);
    QString saveBackup(const QByteArray &document, QString *error);
    bool keepBackup(const QByteArray &document);
    bool goOnWithoutBackup();
    void backupFailed();
    void continueAfterBackup(const QByteArray &current, bool known);
    bool confirmUpload(const QByteArray &document, const QByteArray &current, bool known);
    bool confirmImage(const QString &what, const QString &fileName, const QByteArray &data, const QString &consequence);
    AfterBackup afterBackup = AfterBackup::Nothing;
    QByteArray pendingUpload; // the file that goes up once backed up and confirmed
    QString pendingUploadName;
private slots:
    void on_btRestoreConfig_clicked();
public:
    // ---- Device configuration dialogs (config/configdialogs.cpp) -------------
    // Opens the dialog a download was made for, on the downloaded document.
    void openConfigurationDialog(int target, const QByteArray &text);
    bool refuseSecondDialog();
    void uploadEdits(const QByteArray &current);
    QPointer<QDialog> configDialog; // the one open, if any
    QByteArray configDialogBase; // the document it was opened on
    QByteArray editsBase; // a dialog's OK: the document it changed
    QByteArray editsWanted; // and what the user made of it

    // ---- Device workflows: network settings (app/networksettings.cpp) -------
    // The read and write chains; the tab shows what they read and gives them
    // its settings as they are edited.
    NetworkSettingsWorkflow networkSettings {session};
    // Asks a Yes/No question; tests replace it. Arguments: title, text.
    // True for Yes.
    std::function<bool(const QString &, const QString &)> askQuestion;
    bool askYesNo(const QString &title, const QString &text);
private slots:
    void on_btReadNetwork_clicked();
    void on_btWriteNetwork_clicked();
    void on_btRestartDevice_clicked();
    void on_cbWifiMode_currentIndexChanged(int index);
    void on_cbAddressType_currentIndexChanged(int index);
private:
    void setUpNetworkSettings();
    NetworkConfig::Settings shownNetworkSettings() const;
    void showNetworkSetting(int sub, const NetworkConfig::Settings &settings);
    QWidget *networkField(int sub) const;
public:
    bool &networkReadDone = networkSettings.readDone; // the tab shows what this link's reader holds
    int &networkReadMode = networkSettings.readMode; // the Wi-Fi mode and authentication it had
    int &networkReadAuth = networkSettings.readAuth;
private:
public:
    // ---- Device workflows: address tag and tag tests (app/tagtests.cpp) -----
    // The workflows run in the core (workflows/tagworkflows.h); the window
    // starts them, supplies the loop test's options as its boxes show them
    // and shows what they report.
    AddressTagWorkflow addressTag {session};
    LoopTestWorkflow loopTest {session};
private slots:
    void on_btWriteAddressTag_clicked();
    void on_btReadAddressTag_clicked();
    void on_btLoopTest_clicked();
private:
    void setUpTagTests();
public:
    // Sets the statistics line and ends the test after 3000 found tags when
    // "Stop after 3k" is ticked.
    void refreshLoopStatistics() { loopTest.refreshStatistics(); }
    QByteArray &addressTagRecord = addressTag.record;
    int32_t &loopNotFoundCount = loopTest.notFoundCount;
    int32_t &loopFoundCount = loopTest.foundCount;
    int32_t &loopRetryCount = loopTest.retryCount;
    int32_t &loopErrorCount = loopTest.errorCount;
    int64_t &loopCycleStart = loopTest.cycleStart; // ms since the epoch
    int &loopTestValue = loopTest.value;

    // ---- Device workflows: software polling (app/softwarepolling.cpp) -------
    // The tab shows the workflow: Start and Stop whether it runs, the fields
    // its interval and workbook log.
    PollingWorkflow polling {session};
    void setUpPolling();
    void pollingRecordUid(const QString &uid) { polling.recordUid(uid); }
    bool pollingRunning() const { return polling.running(); }
public slots:
    void pollingTimeout() { polling.poll(); }
private slots:
    void on_btStartPolling_clicked();
    void on_btStopPolling_clicked();
    void on_btSelectOutputXlsFile_clicked();
    void on_cbSaveToFile_stateChanged(int state);
    void on_leOutputXlsFile_textChanged(const QString &text);

    // ---- Device discovery: RS485 bus scan (app/rs485scan.cpp) ---------------
public:
    // The scan runs on the serial port as the connection tab has it set; the
    // window lists the readers it finds.
    Rs485ScanWorkflow rs485Scan {session};
    void setUpRs485Scan();
public slots:
    void rs485ScanNextAddress() { rs485Scan.nextAddress(); }
    void endRs485Scan(const QString &message) { rs485Scan.end(message); }
private slots:
    void on_btScanRs485_clicked();
    void on_cbDetectedDevices_currentIndexChanged(const QString &arg1);
    void on_cbDetectedDevices_activated(const QString &arg1);
public:
    uint8_t &rs485ScanAddress = rs485Scan.address; // the bus address being probed

    // ---- Device discovery: UDP (app/udpdiscovery.cpp) -----------------------
    // The readers found by UDP are discovery's (discovery/devicediscovery.h);
    // lvDetectedDevices shows them, labDetected how many. The names below
    // are the window's ways to the discovery object.
public:
    DeviceDiscovery discovery;
public slots:
    void updateListTimer() { discovery.checkOffline(); }
    // Runs on the GUI thread: the listener reaches it by a queued call.
    void udpMessageReceive(const QString &msg, const QString &ip) { discovery.receive(msg, ip); }
    void udpNetworkServerTerminate() { discovery.terminateListener(); }
private slots:
    void on_lvDetectedDevices_currentItemChanged(QListWidgetItem *current, QListWidgetItem *previous);
    void on_btOpenWeb_clicked();
public:
    // The two background loops, run on the global thread pool.
    void udpScanLoop() { discovery.scanLoop(); }
    void udpListenLoop(MainWindow *receiver) { receiver->discovery.listenLoop(); }
    // Milliseconds of a clock that never steps back; tests set their own.
    std::function<qint64()> &discoveryClock = discovery.clock;
    qint64 discoveryNow() const { return discovery.now(); }
private:
    void startDiscoveryLoops();
    void stopDiscoveryLoops() { discovery.stop(); }
    // The list follows discovery's; the list's own removals reach it.
    void showDetectedDevice(int row);
    void showDeviceOnline(int row);
public:
    int &udpAnnouncementsHandled = discovery.announcementsHandled; // taken into the list so far
    int &udpAnnouncementsDropped = discovery.announcementsDropped; // not taken: too many were waiting

    // ---- Device discovery: list export (app/listexport.cpp) -----------------
private slots:
    void on_btSaveList_clicked();

    // ---- Members ---------------------------------------------------------------
public:
    Ui::MainWindow *ui = nullptr;
    QSerialPort &serial;
    BinaryProtocol &protocol;

    QLabel *statusLabel = nullptr;
    QLabel *statusDetailLabel = nullptr;
    QProgressBar *progressBar = nullptr;

    QTimer *updateTimer = nullptr;
    QTimer *&oneShotTimer;
    QTimer *&pollingTimer = polling.timer;

    int &oneShotState;
    int &retryCount;

    QTcpSocket *&tcpSocket;
    bool &tcpConnected;

    QJsonArray &commands = session.commands;

    QValidator *ipValidator = nullptr;

    QFuture<void> udpScanFuture;
    QFuture<void> udpListenFuture;
};
