#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QProgressBar>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTabBar>
#include <QTcpSocket>
#include <QTimer>

#include "common/settings.h"
#include "app/formaccess.h"
#include "app/version.h"

// The resources live in the static core library; referencing their
// initialiser keeps the linker from dropping them.
static void initCoreResources()
{
    static bool done = false;
    if (!done) {
        Q_INIT_RESOURCE(resources);
        done = true;
    }
}

// For the keyboard and assistive technology: names for the controls that
// have no caption or label of their own, Alt keys for the main buttons, and
// Enter sends the selected favourite as a double click does.
void MainWindow::setUpAccess()
{
    const struct
    {
        QWidget *widget;
        const char *name;
    } names[] = {{ui->btRefresComPorts, "Refresh port list"},
                 {ui->btFavDown, "Move favourite up"},
                 {ui->btFavUp, "Move favourite down"},
                 {ui->lvCommands, "Commands"},
                 {ui->lvFavCommands, "Favourite commands"},
                 {ui->teProtocol, "Protocol log"},
                 {ui->teLogs, "Device log"},
                 {ui->lvDetectedDevices, "Detected devices"},
                 {ui->cbDetectedDevices, "Devices found on the RS485 bus"},
                 {ui->leOutputXlsFile, "Output file"},
                 {ui->tabs, "Tools"},
                 {ui->tabWidget, "Connection"}};
    for (const auto &named : names)
        named.widget->setAccessibleName(QString::fromLatin1(named.name));
    ui->btFavDown->setToolTip(ui->btFavDown->accessibleName());
    ui->btFavUp->setToolTip(ui->btFavUp->accessibleName());

    const struct
    {
        QAbstractButton *button;
        Qt::Key key;
    } keys[] = {{ui->btCommnadExecute, Qt::Key_E},     {ui->btSerialConnect, Qt::Key_C},
                {ui->btNetworkConnect, Qt::Key_C},     {ui->btScanRs485, Qt::Key_S},
                {ui->btShowLegend, Qt::Key_G},         {ui->btFlashFirmware, Qt::Key_F},
                {ui->btRestartDevice, Qt::Key_R},      {ui->btDownloadConfig, Qt::Key_D},
                {ui->btUploadConfig, Qt::Key_U},       {ui->btPollingConfiguration, Qt::Key_I},
                {ui->btUartConfiguration, Qt::Key_B},  {ui->btPNUpdate, Qt::Key_H},
                {ui->btSleepConfiguration, Qt::Key_M}, {ui->btOpenWeb, Qt::Key_W}};
    for (const auto &access : keys)
        FormAccess::addAccessKey(access.button, QKeySequence(Qt::ALT | access.key));

    FormAccess::onEnter(ui->lvFavCommands,
                        [this] { on_lvFavCommands_itemDoubleClicked(ui->lvFavCommands->currentItem()); });
    FormAccess::describe(this);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , serial(link.serial)
    , protocol(link.protocol)
    , oneShotTimer(link.oneShotTimer)
    , oneShotState(link.oneShotState)
    , retryCount(link.retryCount)
    , tcpSocket(link.tcpSocket)
    , tcpConnected(link.tcpConnected)
{
    initCoreResources();

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 has no combo box signals with the text, which the form connects
    // the two RS485 list slots to by their names: they are connected below,
    // and the form's search for their signals is not to warn meanwhile.
    static QLoggingCategory::CategoryFilter formFilter = nullptr;
    formFilter = QLoggingCategory::installFilter([](QLoggingCategory *category) {
        if (formFilter)
            formFilter(category);
        if (qstrcmp(category->categoryName(), "qt.core.qmetaobject.connectslotsbyname") == 0)
            category->setEnabled(QtWarningMsg, false);
    });
    ui->setupUi(this);
    QLoggingCategory::installFilter(formFilter);
    connect(ui->cbDetectedDevices, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { on_cbDetectedDevices_currentIndexChanged(ui->cbDetectedDevices->itemText(index)); });
    connect(ui->cbDetectedDevices, &QComboBox::textActivated, this, &MainWindow::on_cbDetectedDevices_activated);
#else
    ui->setupUi(this);
#endif
    FormAccess::scaleStatedSizes(this);
    FormAccess::letButtonsShrink(this);
    // The pages of the left column scroll rather than make the window taller.
    for (int i = 0; i < ui->tabs->count(); ++i)
        FormAccess::scrollBody(ui->tabs->widget(i), 0);
    setWindowTitle(QStringLiteral("Rx-Client - v%1.%2").arg(RX_VERSION_MAJOR).arg(RX_VERSION_MINOR));
    QIcon icon;
    for (int size : {48, 128})
        icon.addFile(QStringLiteral(":/icons/rx-client-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    statusLabel = new QLabel(this);
    statusDetailLabel = new QLabel(this);
    progressBar = new QProgressBar(this);
    progressBar->setTextVisible(false);
    progressBar->setValue(0);
    // The labels show what the reader says (its version) as text, never as
    // markup, and however long it is it does not push the others out of
    // the bar: the three share it by their stretch.
    for (QLabel *label : {statusLabel, statusDetailLabel}) {
        label->setTextFormat(Qt::PlainText);
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    for (QWidget *w : {static_cast<QWidget *>(statusLabel), static_cast<QWidget *>(statusDetailLabel),
                       static_cast<QWidget *>(progressBar)}) {
        w->setGeometry(0, 0, 160, 20);
        ui->statusbar->addPermanentWidget(w, 1);
    }

    // The four page titles of the left column fit its 300 pixels in full
    // with a slightly smaller font than the window's. (A style sheet would
    // draw the tabs in its own light look on a dark desktop.)
    QFont tabFont = ui->tabs->tabBar()->font();
    tabFont.setPointSizeF(tabFont.pointSizeF() * 0.9);
    ui->tabs->tabBar()->setFont(tabFont);
    ui->tabs->setElideMode(Qt::ElideNone);
    // Nor are they cut where that font draws wider than 300 pixels.
    ui->tabs->tabBar()->ensurePolished();
    const int titles = ui->tabs->tabBar()->sizeHint().width();
    ui->tabs->setMaximumWidth(qMax(ui->tabs->maximumWidth(), titles));
    ui->tabs->setMinimumWidth(qMax(ui->tabs->minimumWidth(), titles));

    ui->gbCommands->setEnabled(false);
    ui->tabs->setEnabled(false);
    clearParameterForm();

    connect(&protocol, &BinaryProtocol::frameTimeout, this, &MainWindow::binaryProtocolFrameTimeout);
    session.host = this;
    connect(&session, &ReaderSession::logLine, this, &MainWindow::logd);
    connect(&session, &ReaderSession::frameReceived, this,
            [this](const QByteArray &frame) { protoLog(frame, QStringLiteral("[RX]")); });
    connect(&session, &ReaderSession::frameHandled, this, &MainWindow::applyDeviceGating);
    connect(&session, &ReaderSession::answerReceived, &consoleAnswers,
            [this](uint8_t, uint8_t code, const QByteArray &) { consoleAnswers.answered(code); });
    for (auto closed : {&ReaderLink::serialClosed, &ReaderLink::tcpClosed})
        connect(&link, closed, &consoleAnswers, &AnswerWatch::cancel);
    connect(&protocol, &BinaryProtocol::frameDamaged, &consoleAnswers, &AnswerWatch::cancel);
    connect(&consoleAnswers, &AnswerWatch::unanswered, this, &MainWindow::logd);
    connect(&link, &ReaderLink::frameWritten, this,
            [this](const QByteArray &frame) { protoLog(frame, QStringLiteral("[TX]")); });
    connect(&link, &ReaderLink::requestBegun, this, &MainWindow::applyDeviceGating);
    connect(&link, &ReaderLink::settlingChanged, this, &MainWindow::applyDeviceGating);
    connect(&link, &ReaderLink::tcpAttempting, this, [this](const QString &address) {
        logd(QStringLiteral("Connecting to ") + address + QStringLiteral(" ..."));
    });
    connect(&session, &ReaderSession::tcpLinkUp, this, &MainWindow::tcpLinkUp);
    connect(&session, &ReaderSession::versionAsked, this, &MainWindow::versionAsked);
    connect(&link, &ReaderLink::tcpClosed, this, &MainWindow::tcpLinkClosed);
    connect(&session, &ReaderSession::gaveUp, this, &MainWindow::showGivenUp);
    connect(&session, &ReaderSession::workflowFailed, this, &MainWindow::applyDeviceGating);
    connect(&session, &ReaderSession::restartBegun, this, [this] {
        statusDetailLabel->clear();
        applyDeviceGating();
    });
    connect(&link, &ReaderLink::logLine, this, &MainWindow::logd);
    connect(&link, &ReaderLink::serialOpened, this, &MainWindow::serialPortOpened);
    connect(&link, &ReaderLink::serialClosed, this, &MainWindow::serialPortClosed);
    connect(&link, &ReaderLink::tcpFailed, this, [this] {
        logd(QStringLiteral("TCP connection filed. Remeber to enable TCP server in the device settings to user TCP "
                            "connection from R4 client."));
    });
    for (QCheckBox *box : {ui->ckbFilterGeneric, ui->ckbFilterMifare, ui->ckbFilterMifareUl, ui->ckbFilterMifareDesfire,
                           ui->ckbFilterICode})
        connect(box, &QCheckBox::stateChanged, this, &MainWindow::fillCommandList);

    const QString octet = QStringLiteral("(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])");
    ipValidator = new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("^") + octet + QStringLiteral("\\.") + octet + QStringLiteral("\\.") + octet
                           + QStringLiteral("\\.") + octet + QStringLiteral("$")),
        this);
    for (QLineEdit *edit : {ui->leIp, ui->leNetmask, ui->leGateway, ui->leDns})
        edit->setValidator(ipValidator);
    setUpNetworkSettings();

    connect(&firmware, &ReaderWorkflow::progress, this, [this](int value, int maximum) {
        progressBar->setMaximum(maximum);
        progressBar->setValue(value);
    });
    connect(&firmware, &ReaderWorkflow::ended, this, &MainWindow::firmwareUpdateEnded);
    connect(&chip, &ReaderWorkflow::progress, this, [this](int value, int maximum) {
        progressBar->setMaximum(maximum);
        progressBar->setValue(value);
    });
    connect(&chip, &ReaderWorkflow::ended, this, &MainWindow::chipUpdateEnded);
    connect(&configTransfer, &ConfigTransferWorkflow::downloaded, this, &MainWindow::configDownloaded);
    // The question whether to go on without a backup is asked from the event
    // loop, not from inside the handler of the frame that ended the download.
    connect(&configTransfer, &ConfigTransferWorkflow::backupFailed, this, &MainWindow::backupFailed,
            Qt::QueuedConnection);
    setUpPolling();
    setUpRs485Scan();

    ui->teLogs->hide();
    ui->labLogLabel->hide();
    setUpLogViews();
    setUpTagTests();

    loadFavourites();
    loadCommandCatalogue();
    fillCommandList();
    refreshFavourites();

    // The keyboard's way to the commonest actions, named in the tool tips.
    ui->btClearLogs->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    ui->btClearLogs->setToolTip(QStringLiteral("Clear both logs (Ctrl+L)"));
    ui->btRefresComPorts->setShortcut(QKeySequence(Qt::Key_F5));
    ui->btRefresComPorts->setToolTip(QStringLiteral("Refresh COM port list (F5)"));
    ui->btCommnadExecute->setToolTip(QStringLiteral("Execute the selected command (Enter in a parameter field)"));
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this), &QShortcut::activated, this, &QWidget::close);
    setUpAccess();

    {
        QSettings settings = openSettings();
        ui->cbSaveToFile->setChecked(settings.value(QStringLiteral("OutputXlsEnabled"), false).toBool());
        ui->leOutputXlsFile->setText(settings.value(QStringLiteral("OutputXlsFile")).toString());
        // A damaged entry leaves the window as the form made it.
        if (settings.contains(QStringLiteral("windowGeometry"))
            && !restoreGeometry(settings.value(QStringLiteral("windowGeometry")).toByteArray()))
            logd(QStringLiteral("The saved window geometry is damaged and was not restored."));
        if (settings.contains(QStringLiteral("windowState"))
            && !restoreState(settings.value(QStringLiteral("windowState")).toByteArray()))
            logd(QStringLiteral("The saved window state is damaged and was not restored."));
        // RX_SELECT_PORT names the port to select at start instead of the
        // last one used (scripts/run selects the simulated reader's).
        const QString startPort = qEnvironmentVariable("RX_SELECT_PORT");
        refreshPortList(startPort.isEmpty() ? settings.value(QStringLiteral("lastComPort")).toString() : startPort);
    }

    retryCount = 0;
    logd(QStringLiteral(
        "Network search engine is running in the background, new devices will be automatically detected."));
    ui->gbAddressTag->show();
    ui->gbTests->show();

    startDiscoveryLoops();

    ui->labDetected->hide();
    ui->lvDetectedDevices->hide();
}

MainWindow::~MainWindow()
{
    stopDiscoveryLoops();
    {
        QSettings settings = openSettings();
        settings.setValue(QStringLiteral("windowGeometry"), saveGeometry());
        settings.setValue(QStringLiteral("windowState"), saveState(0));
        if (deviceLogShown) {
            QVariantList sizes;
            for (int size : ui->splitter->sizes())
                sizes << size;
            settings.setValue(QStringLiteral("right_sizes"), sizes);
        }
    }
    qInfo() << "Terminate done";
    // Nothing that closes below may call back into a window that is being
    // taken apart: the sockets (children, deleted by the base class) and the
    // serial port and codec (members) lose their connections to it first.
    for (QTcpSocket *socket : link.findChildren<QTcpSocket *>())
        socket->disconnect(this);
    link.disconnect(this);
    session.disconnect(this);
    session.host = nullptr;
    serial.disconnect(this);
    protocol.disconnect(this);
    oneShotTimer->disconnect(this);
    firmware.disconnect(this);
    chip.disconnect(this);
    configTransfer.disconnect(this);
    ui->lvDetectedDevices->model()->disconnect(this);
    oneShotTimer->stop();
    pollingTimer->stop();
    updateTimer->stop();
    delete ui;
    ui = nullptr;
}

void MainWindow::setControlsEnabled(bool enable)
{
    if (serial.isOpen()) {
        ui->tabNetworkConnection->setEnabled(false);
        ui->tabSerialConnection->setEnabled(true);
    } else if (tcpConnected) {
        ui->tabNetworkConnection->setEnabled(true);
        ui->tabSerialConnection->setEnabled(false);
    } else {
        ui->tabNetworkConnection->setEnabled(true);
        ui->tabSerialConnection->setEnabled(true);
    }

    if (enable) {
        ui->btNetworkConnect->setText(QStringLiteral("Disconnect"));
        ui->btSerialConnect->setText(QStringLiteral("Disconnect"));
    } else {
        ui->btNetworkConnect->setText(QStringLiteral("Connect"));
        ui->btSerialConnect->setText(QStringLiteral("Connect"));
        ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
        ui->btPNUpdate->setText(QStringLiteral("RFID chip update"));
        statusLabel->clear();
        statusDetailLabel->clear();
        progressBar->setValue(0);
    }

    ui->cbSerialPort->setEnabled(!enable);
    if (enable && !controlsEnabled)
        networkReadDone = false; // a link (again): its settings are not known yet
    controlsEnabled = enable;
    applyDeviceGating();
}

void MainWindow::applyDeviceGating()
{
    if (!ui)
        return;
    const Workflow running = runningWorkflow();
    const bool free = controlsEnabled && running == Workflow::None;
    // A workflow's own Abort or Stop, also while its link is briefly down.
    const auto ownedBy = [&](QWidget *widget, Workflow owner) { widget->setEnabled(free || running == owner); };

    ui->tabs->setEnabled(controlsEnabled);
    for (QWidget *w :
         {static_cast<QWidget *>(ui->gbCommands), static_cast<QWidget *>(ui->tab), static_cast<QWidget *>(ui->tab_2),
          static_cast<QWidget *>(ui->btReadNetwork), static_cast<QWidget *>(ui->btWriteNetwork),
          static_cast<QWidget *>(ui->gbAddressTag), static_cast<QWidget *>(ui->btUploadConfig),
          static_cast<QWidget *>(ui->btDownloadConfig), static_cast<QWidget *>(ui->btRestartDevice),
          static_cast<QWidget *>(ui->btRestoreConfig), static_cast<QWidget *>(ui->btPollingConfiguration),
          static_cast<QWidget *>(ui->btUartConfiguration), static_cast<QWidget *>(ui->btSleepConfiguration)})
        w->setEnabled(free);
    ownedBy(ui->gbPolling, Workflow::Polling);
    ownedBy(ui->gbTests, Workflow::LoopTest);
    ownedBy(ui->btFlashFirmware, Workflow::FirmwareUpdate);
    ownedBy(ui->btPNUpdate, Workflow::ChipUpdate);

    const bool settling = link.settling() || running == Workflow::Restart;
    ui->btSerialConnect->setEnabled(!settling && running != Workflow::Rs485Scan);
    ui->btNetworkConnect->setEnabled(!settling);
    ui->btRefresComPorts->setEnabled(!settling);
    ui->btScanRs485->setEnabled(!settling && (running == Workflow::None || running == Workflow::Rs485Scan));
}

QString MainWindow::quitRisk() const
{
    switch (runningWorkflow()) {
    case Workflow::FirmwareUpdate:
        return QStringLiteral("A firmware update is running: the reader may be left without firmware.");
    case Workflow::ChipUpdate:
        return QStringLiteral("An RFID chip update is running: the reader's RFID chip may be left without working "
                              "firmware.");
    case Workflow::Upload:
        return QStringLiteral("config.json is being uploaded: the reader may be left with an incomplete "
                              "configuration.");
    case Workflow::NetworkSettings:
        return networkSettings.quitRisk();
    case Workflow::AddressTag:
        if (oneShotState == AddressTagWrite)
            return QStringLiteral("An address tag is being written: the tag may be left with an incomplete record.");
        break;
    default:
        break;
    }
    return QString();
}

// Closing the window (Ctrl+Q, the session ending) while a workflow writes
// to the reader asks first; quitting anyway ends the workflow as cleanly as
// the protocol allows, and the log says what the reader holds.
void MainWindow::closeEvent(QCloseEvent *event)
{
    const QString risk = quitRisk();
    if (risk.isEmpty()) {
        event->accept();
        return;
    }
    if (!askYesNo(QStringLiteral("Question"), risk + QStringLiteral("\n\nQuit anyway?"))) {
        event->ignore();
        return;
    }
    const Workflow running = runningWorkflow();
    failWorkflow(running, QStringLiteral("Quitting while %1 was running.").arg(workflowName(running)));
    event->accept();
}

bool MainWindow::refuseWhileBusy()
{
    const Workflow running = runningWorkflow();
    if (running == Workflow::None)
        return false;
    logd(QStringLiteral("Please wait: %1 is still running.").arg(workflowName(running)));
    return true;
}

void MainWindow::on_tabs_currentChanged(int index)
{
    ui->gbCommands->setVisible(index == 0);
    // The Network tab shows the reader's own settings: read the first time
    // it is opened on a link, never at connect.
    if (ui->tabs->widget(index) == ui->tab_3 && controlsEnabled && !networkReadDone
        && runningWorkflow() == Workflow::None)
        on_btReadNetwork_clicked();
}

void MainWindow::on_tabWidget_currentChanged(int index)
{
    ui->labDetected->setVisible(index == 1);
    ui->lvDetectedDevices->setVisible(index == 1);
}
