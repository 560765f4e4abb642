// Renders the pictures of the README from the real window beside the
// simulated reader, and the dialogs on the simulator's sample configuration
// documents: rx-screenshots OUTPUT_DIR. Run it inside a private network
// namespace like every program that builds the main window, on an X server
// for the look of a desktop, with the screen's DPI given:
//   QT_FONT_DPI=96 xvfb-run -a rx-screenshots docs/images
// renders every picture; at any other DPI only the main window is rendered,
// named after the DPI (QT_FONT_DPI=144 gives main-window-144dpi.png).
// rx-screenshots --dark OUTPUT_DIR renders the main window on a dark desktop
// palette with the protocol log's look "As the desktop"
// (main-window-dark.png). The offscreen platform works as well, with other
// fonts.
//
// Pictures: main-window.png (a coloured exchange and the device log),
// protocol-log.png, log-find.png (the find bar on the protocol log),
// tab-favourites.png, tab-network.png, tab-polling.png,
// network-connection.png (readers found by UDP), dialog-favourite.png,
// dialog-uart.png, dialog-sleep.png, dialog-rfid-polling.png,
// dialog-rfid-keys.png, dialog-rfid-known-tags.png.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>

#include "app/appsetup.h"
#include "app/logview.h"
#include "config/pollingwindow.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"
#include "console/newfavcmdwindow.h"
#include "sim/simfiles.h"
#include "sim/simknowntags.h"
#include "support/windowfixture.h"

namespace {

QString g_out;
int g_failures = 0;

void settle(int ms)
{
    QTest::qWait(ms);
}

void save(QWidget *widget, const QString &name)
{
    settle(150);
    if (!widget->grab().save(g_out + QLatin1Char('/') + name)) {
        qWarning("could not write %s", qPrintable(name));
        ++g_failures;
    } else {
        qInfo("%s", qPrintable(name));
    }
}

void selectCommand(WindowFixture &f, const QString &prefix)
{
    auto *list = f.widget<QListWidget>(QStringLiteral("lvCommands"));
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().startsWith(prefix)) {
            list->setCurrentRow(i);
            return;
        }
    }
}

QString sampleDocument()
{
    return QString::fromUtf8(SimFileSystem::configDocument(SimFileSystem::ConfigR4));
}

// Shows a dialog the way its window does (not modal), saves it, closes it.
template<class Dialog>
void saveDialog(Dialog *dialog, const QString &name)
{
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog))
        qWarning("%s did not appear", qPrintable(name));
    save(dialog, name);
    dialog->close();
    delete dialog;
}

// suffix: empty, or the DPI of a picture at another one ("-144dpi").
void mainWindowPictures(WindowFixture &f, const QString &suffix)
{
    MainWindow *w = f.window();
    f.reader()->sendLogLine(QStringLiteral("\x1b[0;32mI (1523) rfid: polling started"));
    f.reader()->sendLogLine(QStringLiteral("\x1b[0;33mW (2210) uart: RX buffer 80% full"));
    f.reader()->sendLogLine(QStringLiteral("\x1b[0;31mE (2231) nfc: no answer from tag"));
    selectCommand(f, QStringLiteral("[14]"));
    w->paramEdits[0]->setText(QStringLiteral("FF 00 80"));
    w->paramEdits[1]->setText(QStringLiteral("500"));
    f.click(QStringLiteral("btCommnadExecute"));
    settle(300);
    f.click(QStringLiteral("btShowLegend"));
    settle(300);
    save(w, QStringLiteral("main-window%1.png").arg(suffix));
    if (suffix.isEmpty())
        save(f.widget<QTextEdit>(QStringLiteral("teProtocol")), QStringLiteral("protocol-log.png"));
}

// The find bar under the protocol log, on the second of the LED frames.
void findPicture(WindowFixture &f)
{
    LogView *log = f.window()->protocolLog;
    log->showFindBar();
    QTest::keyClicks(f.widget<QLineEdit>(QStringLiteral("leProtocolFind")), QStringLiteral("LED command"));
    log->findNext();
    save(f.widget<QWidget>(QStringLiteral("protocolPane")), QStringLiteral("log-find.png"));
    QTest::mouseClick(f.widget<QPushButton>(QStringLiteral("btProtocolFindClose")), Qt::LeftButton);
    log->followNewLines();
}

void tabPictures(WindowFixture &f)
{
    MainWindow *w = f.window();
    w->addNewFavCommand(-1, QStringLiteral("Version"), QStringLiteral("F5 03 00 FC FF 0B 9B 50"));
    w->addNewFavCommand(-1, QStringLiteral("Green LED, 1 s"), QStringLiteral("F5 08 00 F7 FF 14 00 FF 00 E8 03 EE F0"));
    w->addNewFavCommand(-1, QStringLiteral("Tag count"), QStringLiteral("F5 03 00 FC FF 02 B2 C1"));
    auto *tabs = f.widget<QTabWidget>(QStringLiteral("tabs"));
    const struct
    {
        int index;
        const char *file;
    } pages[] = {{1, "tab-favourites.png"}, {2, "tab-network.png"}, {3, "tab-polling.png"}};
    for (const auto &page : pages) {
        tabs->setCurrentIndex(page.index);
        save(tabs, QLatin1String(page.file));
    }
    tabs->setCurrentIndex(0);
}

// The "Network connection" tab, disconnected, with readers that announced
// themselves: the simulated one on loopback and two documentation addresses.
void networkPicture(WindowFixture &f)
{
    MainWindow *w = f.window();
    f.click(QStringLiteral("btSerialConnect"));
    f.click(QStringLiteral("btClearLogs"));
    f.widget<QTabWidget>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    w->udpMessageReceive(QStringLiteral("Q_R4:Gate reader:2.38"), QStringLiteral("192.0.2.17"));
    w->udpMessageReceive(QStringLiteral("Q_R4:Store room:2.36"), QStringLiteral("192.0.2.41"));
    w->udpMessageReceive(QStringLiteral("Q_R4:Simulated reader:2.38"), QStringLiteral("127.0.0.1"));
    auto *list = f.widget<QListWidget>(QStringLiteral("lvDetectedDevices"));
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().contains(QLatin1String("Simulated")))
            list->setCurrentRow(i);
    }
    settle(200);
    save(w, QStringLiteral("network-connection.png"));
}

void dialogPictures(WindowFixture &f)
{
    MainWindow *w = f.window();
    saveDialog(new NewFavCmdWindow(w, -1, QStringLiteral("Version"), QStringLiteral("F5 03 00 FC FF 0B 9B 50")),
               QStringLiteral("dialog-favourite.png"));
    saveDialog(new UartConfigWindow(w, sampleDocument()), QStringLiteral("dialog-uart.png"));
    saveDialog(new SleepConfigWindow(w, sampleDocument()), QStringLiteral("dialog-sleep.png"));

    // The RFID dialog wired to the link as the window wires it, so that its
    // known-tag list is read from the reader.
    f.reader()->knownTags().setEntries({SimKnownTags::entry(0x44, QByteArray::fromHex("04A1B2C3D4E580")),
                                        SimKnownTags::entry(0x04, QByteArray::fromHex("9C3F21A7")),
                                        SimKnownTags::entry(0x44, QByteArray::fromHex("0455E19A6B2A81"))});
    auto *rfid = new pollingwindow(w, sampleDocument());
    QObject::connect(rfid, &pollingwindow::binaryFrameSend, w, &MainWindow::binaryProtocolSendSignal);
    QObject::connect(&w->protocol, &BinaryProtocol::frameComplete, rfid, &pollingwindow::binaryProtocolFrameComplete);
    rfid->show();
    if (!QTest::qWaitForWindowExposed(rfid))
        qWarning("the RFID dialog did not appear");
    auto *tabs = rfid->findChild<QTabWidget *>(QStringLiteral("tabs"));
    const char *files[] = {"dialog-rfid-polling.png", "dialog-rfid-keys.png", "dialog-rfid-known-tags.png"};
    for (int i = 0; i < tabs->count() && i < 3; ++i) {
        tabs->setCurrentIndex(i);
        if (i == 2) {
            QTest::mouseClick(rfid->findChild<QPushButton *>(QStringLiteral("btGetList")), Qt::LeftButton);
            auto *label = rfid->findChild<QLabel *>(QStringLiteral("labKnownTags"));
            if (!QTest::qWaitFor([label] { return label->text() == QLatin1String("Known tag list - 3"); }, 3000))
                qWarning("the known-tag list was not read: %s", qPrintable(label->text()));
        }
        save(rfid, QLatin1String(files[i]));
    }
    QObject::disconnect(&w->protocol, &BinaryProtocol::frameComplete, rfid,
                        &pollingwindow::binaryProtocolFrameComplete);
    rfid->close();
    delete rfid;
}

} // namespace

int main(int argc, char **argv)
{
    prepareApplication();
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool dark = args.removeAll(QStringLiteral("--dark")) > 0;
    g_out = args.value(0, QStringLiteral("."));
    if (dark) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QPalette palette;
        const QColor window(0x35, 0x35, 0x35);
        const QColor base(0x24, 0x24, 0x24);
        for (auto [role, colour] : {std::pair {QPalette::Window, window},
                                    {QPalette::Base, base},
                                    {QPalette::AlternateBase, window},
                                    {QPalette::Button, window},
                                    {QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8)},
                                    {QPalette::Text, QColor(0xe8, 0xe8, 0xe8)},
                                    {QPalette::ButtonText, QColor(0xe8, 0xe8, 0xe8)},
                                    {QPalette::Highlight, QColor(0x2a, 0x82, 0xda)},
                                    {QPalette::Link, QColor(0x8a, 0xb4, 0xf8)},
                                    {QPalette::HighlightedText, QColor(Qt::white)}})
            palette.setColor(role, colour);
        palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x90, 0x90, 0x90));
        palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x90, 0x90, 0x90));
        palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x90, 0x90, 0x90));
        QApplication::setPalette(palette);
    }
    QDir().mkpath(g_out);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const int dpi = qRound(screen->logicalDotsPerInch() * screen->devicePixelRatio());

    WindowFixture f;
    f.window()->resize(1100, 815);
    if (!f.connectSerial()) {
        qWarning("could not connect to the simulated reader");
        return 1;
    }
    settle(300);
    if (dark) {
        f.window()->protocolLog->setLook(LogView::Look::Desktop);
        mainWindowPictures(f, QStringLiteral("-dark"));
        return g_failures == 0 ? 0 : 1;
    }
    if (dpi != 96) {
        mainWindowPictures(f, QStringLiteral("-%1dpi").arg(dpi));
        return g_failures == 0 ? 0 : 1;
    }
    mainWindowPictures(f, QString());
    findPicture(f);
    tabPictures(f);
    dialogPictures(f);
    networkPicture(f);
    return g_failures == 0 ? 0 : 1;
}
