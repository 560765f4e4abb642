#include "support/windowfixture.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include "app/logview.h"

#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "support/messageboxes.h"
#include "support/privatenetwork.h"

WindowFixture::WindowFixture(bool withReader)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
    if (withReader) {
        m_reader = std::make_unique<SimReader>();
        if (!m_reader->openPty())
            qWarning("the simulated reader could not open a pty");
        if (!m_reader->listenTcp(0))
            qWarning("the simulated reader could not listen on TCP");
    }
    buildWindow();
}

WindowFixture::~WindowFixture()
{
    m_window.reset();
    m_reader.reset();
}

QString WindowFixture::settingsFile() const
{
    return m_settingsDir.filePath(QStringLiteral("Norwel_Ltd/R4-client.conf"));
}

void WindowFixture::buildWindow()
{
    // The window's discovery scans every local network; the check before
    // main() has made sure only loopback is in sight.
    if (!PrivateNetwork::processIsolated())
        qFatal("the main window would see networks besides loopback; not building it");
    m_window = std::make_unique<MainWindow>();
    // Questions are answered yes unless a story answers them itself; what
    // was asked is kept. Backups go to the fixture's own folder.
    m_window->askQuestion = [this](const QString &title, const QString &text) {
        questions << title + QStringLiteral(": ") + text;
        return true;
    };
    m_window->backupRoot = m_settingsDir.filePath(QStringLiteral("backups"));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void WindowFixture::closeWindow()
{
    m_window.reset();
}

void WindowFixture::reopenWindow()
{
    m_window.reset();
    buildWindow();
}

void WindowFixture::click(const QString &buttonName)
{
    auto *button = widget<QAbstractButton>(buttonName);
    QVERIFY2(button, qPrintable(buttonName));
    QVERIFY2(button->isEnabled(), qPrintable(buttonName + QStringLiteral(" is disabled")));
    QTest::mouseClick(button, Qt::LeftButton);
}

void WindowFixture::selectReaderPort()
{
    auto *ports = widget<QComboBox>(QStringLiteral("cbSerialPort"));
    const QString path = m_reader->ptyPath();
    int index = ports->findText(path);
    if (index < 0) {
        ports->addItem(path);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
}

bool WindowFixture::connectSerial()
{
    selectReaderPort();
    click(QStringLiteral("btSerialConnect"));
    return QTest::qWaitFor(
        [this] { return m_window->statusDetailLabel->text().startsWith(QStringLiteral("Version:")); }, 3000);
}

void WindowFixture::clickConnectTcp(quint16 port)
{
    widget<QTabWidget>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    widget<QLineEdit>(QStringLiteral("leDeviceAddr"))->setText(QStringLiteral("127.0.0.1"));
    widget<QSpinBox>(QStringLiteral("sbPort"))->setValue(port);
    click(QStringLiteral("btNetworkConnect"));
    // The attempts run on; a click that connects or gives up is over when
    // they are.
    (void)QTest::qWaitFor([this] { return !m_window->link.tcpConnecting(); },
                          (ReaderLink::TcpAttempts + 1) * ReaderLink::TcpAttemptMs);
}

void WindowFixture::clickConnectSerial(const QString &path)
{
    auto *ports = widget<QComboBox>(QStringLiteral("cbSerialPort"));
    ports->addItem(path);
    ports->setCurrentIndex(ports->count() - 1);
    click(QStringLiteral("btSerialConnect"));
}

bool WindowFixture::connectTcp()
{
    clickConnectTcp(m_reader->tcpPort());
    return QTest::qWaitFor(
        [this] { return m_window->statusDetailLabel->text().startsWith(QStringLiteral("Version:")); }, 4000);
}

void WindowFixture::injectAnswer(const QByteArray &payload)
{
    m_reader->sendFrame(payload);
}

QString WindowFixture::logText() const
{
    // Under a burst, the log shows the newest pieces a moment later.
    runUntil([this] { return m_window->protocolLog->waiting() == 0; }, 2000);
    return widget<QTextEdit>(QStringLiteral("teProtocol"))->toPlainText();
}

bool WindowFixture::waitForLog(const QString &text, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return logText().contains(text); }, timeoutMs);
}

int WindowFixture::logCount(const QString &text) const
{
    return logText().count(text);
}

QString WindowFixture::answerMessageBox(const std::function<void()> &action, int timeoutMs)
{
    MessageBoxes boxes;
    action();
    // A modal box that never came leaves the answer empty, which the caller sees.
    (void)QTest::qWaitFor([&] { return !boxes.seen.isEmpty(); }, timeoutMs);
    return boxes.seen.value(0);
}

bool WindowFixture::settle()
{
    return QTest::qWaitFor(
        [this] {
            const int asked = logCount(QStringLiteral("[TX] - CMD_LOG"));
            return asked > 0 && logCount(QStringLiteral("[RX] - CMD_LOG - ACK")) >= asked;
        },
        3000);
}

QStringList itemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

QStringList itemTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

bool WindowFixture::applyFaults(const QString &lines)
{
    SimAnswerFaults *faults = SimAnswerFaults::of(m_reader.get());
    for (const QString &line : lines.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QString said = QStringLiteral("usage");
        if (words.value(0) == QLatin1String("answers"))
            said = faults->command(words.mid(1));
        else if (words.value(0) == QLatin1String("requests"))
            said = faults->requestCommand(words.mid(1));
        else if (words.value(0) == QLatin1String("files") && words.value(1) == QLatin1String("eof-error"))
            m_reader->files().setErrorAfterEnd(words.value(2) == QLatin1String("on")), said.clear();
        if (said.startsWith(QLatin1String("usage")))
            return false;
    }
    return true;
}
