// The response dispatcher and the workflows on any answers, in whatever
// state the window has got into.
//
// One window serves the whole run and keeps its state from one input to the
// next, as a window that stays open does: a transfer, its buffer, the logs,
// the devices found by a bus scan all carry over. It is linked over TCP to a
// peer on the loopback address that plays the reader's side of the wire:
// it takes what the window sends (and notes the requests), and the fuzzer's
// answers are handed to the window as they come off that link.
//
// Input: a flags byte, then steps up to the end of the input.
// Flags: bit 0 the header carries an RS485 address byte (through the codec:
// the link runs at the bus address 0x21), bit 1 the "RS485 binary protocol"
// box is ticked, bit 5 the frames go through the codec instead of straight
// to the dispatcher. A step starts with a byte op:
//   0x00-0xBF  a frame whose body is the next op bytes: status, answered
//              command, data and, straight to the dispatcher, two bytes in
//              the place of the CRC (which it does not check); the codec
//              is handed the body with its CRC added;
//   0xC0-0xDF  what the user or the link does (kActions, modulo their
//              number): a button clicked (only while it is enabled), the
//              answer timer running out, the reader dropping the link, a
//              console command; the event loop turns after it;
//   0xE0-0xEE  the frame before again, (op & 0x0F) + 1 times (an answer
//              that comes more than once);
//   0xEF       the frame before again, 8 * (next byte + 1) times, back to
//              back (a reader flooding the link);
//   0xF0-0xFF  a frame whose body length is the next two bytes (LSB first).
// The event loop turns after each frame, message boxes are answered (their
// default button), dialogs closed, questions answered Yes.
//
// The waits of a reader's restart and of an erase are cut to
// kPauseLimitMs (the link's waitLimitMs); everything else runs as it
// would. Frames are only handed on while the link is up; the window is
// connected again at the start of each input when it is not.
//
// Checked after every step: the files the window was given (the download's
// target, the upload, the firmware and chip images) are never touched, but
// for the target when a download to it was started with its button and
// completed just now, by the answer to its FCLOSE; and then the target
// holds exactly the data the window's FREAD requests were answered with
// since its last FOPEN. The transfer buffer stays within what a
// configuration document may be, the logs within their scrollback, the list
// of a bus scan within the 256 addresses, and the window in one of its
// states.
//
// Since a fault may need the inputs before it, every input is appended to
// the file RX_FUZZ_HISTORY names (scripts/fuzz sets it), each after its
// length (four bytes, least significant first). With RX_FUZZ_REPLAY naming
// such a file, its inputs are run in order and the program ends: the run
// up to a fault again, as far as the timers allow.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaEnum>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "app/logview.h"
#include "app/mainwindow.h"
#include "fuzzsupport.h"
#include "link/commandcodes.h"
#include "support/bytes.h"

namespace {

constexpr int kPauseLimitMs = 20;
constexpr uint8_t kBusAddress = 0x21;
// What of a body goes through the codec: the rest would not fit a frame.
constexpr int kMaxCodecBody = 2000;
// An upload takes a document of at most this size; a download holds no more.
constexpr int kMaxDocumentBytes = 1024 * 1024;
// Frames handed on per input, floods included.
constexpr int kMaxFramesPerInput = 2048;

// Three records (2, 3 and 1 bytes), the version in bytes 4 and 5.
const QByteArray kChipFile = QByteArray::fromHex("0002 0a03 0003 aabbcc 0001 dd");

// What the user or the link does: the answer timer (else the polling timer)
// runs out, the reader drops the link, or one of these buttons is clicked,
// only while it is enabled. The connect button disconnects or connects
// again, an update's button is its Abort while it runs, and the console's
// sends the catalogue entry the next byte picks.
enum Action {
    TimeRunsOut,
    ReaderDropsLink,
    FirstButton
};
const char *const kButtons[] = {"btNetworkConnect",    "btDownloadConfig",     "btPollingConfiguration",
                                "btUartConfiguration", "btSleepConfiguration", "btUploadConfig",
                                "btFlashFirmware",     "btPNUpdate",           "btReadNetwork",
                                "btWriteNetwork",      "btRestartDevice",      "btWriteAddressTag",
                                "btReadAddressTag",    "btLoopTest",           "btScanRs485",
                                "btStartPolling",      "btStopPolling",        "btCommnadExecute"};
constexpr int kActionCount = FirstButton + int(std::size(kButtons));

// A file as found on disk: changed when its size or its time of change is.
QString markOf(const QString &path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("none");
    const qint64 modified = file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    return QStringLiteral("%1 bytes, changed at %2 ms").arg(file.size()).arg(modified);
}

// The reader's side of the wire: what the window asked for last, and the
// reading of config.json the requests describe.
struct Wire
{
    int request = -1; // command of the last request sent
    bool answered = true; // a positive answer with its code was handed on
    bool reading = false; // an FOPEN for reading was sent and nothing since broke the chain
    bool opened = false; // and answered
    bool atEnd = false; // an FREAD was answered with no data
    QByteArray read; // the data of the FREAD answers since
    bool completed = false; // the FCLOSE after the end was answered
};

struct Harness
{
    MainWindow *w = nullptr;
    QTemporaryDir dir;
    QTcpServer server;
    QTcpSocket *peer = nullptr;
    QString target, upload, firmware, chip;
    QList<QString> inputs; // the files the window only reads
    QStringList inputMarks;
    QString targetMark;
    QByteArray targetContent;
    bool downloadToTarget = false; // its button was clicked, nothing since
    Wire wire;
    int frames = 0; // handed on in this input
};

Harness *h = nullptr;

void writeInput(const QString &path, const QByteArray &content)
{
    if (!writeFile(path, content))
        Fuzz::fail("a harness file is written", path);
}

template<class T>
T *child(const char *name)
{
    T *widget = h->w->findChild<T *>(QLatin1String(name));
    if (!widget)
        Fuzz::fail("the window has the widget", QLatin1String(name));
    return widget;
}

// A request the window sent: its frame, as the codec built it.
void noteRequest(const uint8_t *frame, size_t len)
{
    const size_t start = 5 + (h->w->protocol.address() ? 1 : 0);
    if (len < start + 3)
        return;
    const QByteArray payload(reinterpret_cast<const char *>(frame + start), int(len - start - 2));
    const uint8_t code = uint8_t(payload.at(0));
    if (code == Command::Error)
        return; // the codec asking for a damaged frame again: no request
    Wire &wire = h->wire;
    wire.request = code;
    wire.answered = false;
    wire.completed = false;
    if (code == Command::FileOpen) {
        wire = Wire();
        wire.request = code;
        wire.answered = false;
        wire.reading = payload.size() > 1 && payload.at(1) == 0x00;
    } else if (code != Command::FileRead && code != Command::FileClose) {
        wire.reading = false;
    }
}

// An answer handed on (status, command, data): the reading a positive one
// continues; an error answer ends it.
void noteAnswer(const QByteArray &answer)
{
    if (answer.size() < 2)
        return;
    Wire &wire = h->wire;
    const uint8_t status = uint8_t(answer.at(0));
    const int code = uint8_t(answer.at(1));
    if (code != wire.request || wire.answered)
        return;
    if (status == AnswerStatus::Error) {
        wire.answered = true;
        wire.reading = false;
        return;
    }
    if (status != AnswerStatus::Positive)
        return;
    wire.answered = true;
    if (!wire.reading)
        return;
    const QByteArray data = answer.mid(2);
    if (code == Command::FileOpen) {
        wire.opened = true;
    } else if (code == Command::FileRead && wire.opened && !wire.atEnd) {
        if (data.isEmpty())
            wire.atEnd = true;
        else
            wire.read.append(data);
    } else if (code == Command::FileClose && wire.opened && wire.atEnd) {
        wire.completed = true;
    }
}

// What may have changed on disk and in memory after a step.
void checkStep(const char *step)
{
    for (int i = 0; i < h->inputs.size(); ++i)
        FUZZ_CHECK(markOf(h->inputs.at(i)) == h->inputMarks.at(i),
                   QStringLiteral("%1 changed (after %2)").arg(h->inputs.at(i), QLatin1String(step)));
    const QString now = markOf(h->target);
    if (now != h->targetMark) {
        const QByteArray content = fileBytes(h->target);
        const QString detail = QStringLiteral("after %1: the target holds %2 bytes, the reader's FREAD answers %3")
                                   .arg(QLatin1String(step))
                                   .arg(content.size())
                                   .arg(h->wire.read.size());
        FUZZ_CHECK(h->downloadToTarget, QStringLiteral("no download to the target was started; ") + detail);
        FUZZ_CHECK(h->wire.completed, QStringLiteral("the download was not completed; ") + detail);
        FUZZ_CHECK(content == h->wire.read, QStringLiteral("not what was read; ") + detail);
        h->targetMark = now;
        h->targetContent = content;
        h->downloadToTarget = false; // its download is over
    }
    FUZZ_CHECK(h->w->transferBuffer.size() <= kMaxDocumentBytes,
               QStringLiteral("the transfer buffer holds %1 bytes (after %2)")
                   .arg(h->w->transferBuffer.size())
                   .arg(QLatin1String(step)));
}

// Through the codec, as the reader's bytes arrive: the body framed by a
// reader with the address the codec is set to, its CRC added.
void feedThroughCodec(QByteArray body)
{
    body.truncate(kMaxCodecBody);
    BinaryProtocol reader;
    reader.setAddress(h->w->protocol.address());
    QObject::connect(&reader, &BinaryProtocol::protocolWrite,
                     [](uint8_t *frame, size_t len) { h->w->protocol.receiveBytes(frame, len); });
    reader.sendFrame(body);
}

void handOn(uint8_t flags, const QByteArray &body)
{
    if (!h->w->linkOpen() || h->frames >= kMaxFramesPerInput)
        return;
    ++h->frames;
    // Straight to the dispatcher the body ends in two bytes where its CRC
    // would be; through the codec it gets its CRC added.
    if (flags & 0x20) {
        noteAnswer(body.left(kMaxCodecBody));
        feedThroughCodec(body);
    } else {
        if (body.size() >= 4)
            noteAnswer(body.left(body.size() - 2));
        Fuzz::deliverFrame(h->w, body, (flags & 1) ? kBusAddress : -1);
    }
}

void connectLink()
{
    MainWindow *w = h->w;
    if (w->tcpConnected || w->runningWorkflow() == MainWindow::Workflow::Restart)
        return;
    child<QLineEdit>("leDeviceAddr")->setText(QStringLiteral("127.0.0.1"));
    child<QSpinBox>("sbPort")->setValue(h->server.serverPort());
    auto *button = child<QAbstractButton>("btNetworkConnect");
    if (button->isEnabled())
        button->click();
    Fuzz::settle();
}

void act(Fuzz::Input &in, int action)
{
    MainWindow *w = h->w;
    if (action == TimeRunsOut) {
        if (w->oneShotTimer->isActive()) {
            w->oneShotTimer->stop();
            w->oneShotTimeout();
        } else if (w->pollingTimer->isActive()) {
            w->pollingTimer->stop();
            w->pollingTimeout();
        }
        return;
    }
    if (action == ReaderDropsLink) {
        QElapsedTimer clock;
        clock.start();
        if (h->peer && w->tcpConnected)
            h->peer->abort();
        while (w->tcpConnected && clock.elapsed() < 2000)
            Fuzz::settle();
        h->downloadToTarget = false;
        return;
    }
    const QLatin1String name(kButtons[action - FirstButton]);
    auto *list = child<QListWidget>("lvCommands");
    if (name == QLatin1String("btCommnadExecute") && list->count() > 0)
        list->setCurrentRow(in.byte() % list->count());
    auto *button = child<QAbstractButton>(name.data());
    if (!button->isEnabled())
        return;
    // A workflow can be started only when none runs, the download to the
    // target among them: that is over now.
    if (name != QLatin1String("btStopPolling"))
        h->downloadToTarget = name == QLatin1String("btDownloadConfig");
    button->click();
}

void checkInput()
{
    MainWindow *w = h->w;
    FUZZ_CHECK(QMetaEnum::fromType<MainWindow::OneShotState>().valueToKey(w->oneShotState),
               QStringLiteral("oneShotState %1").arg(w->oneShotState));
    const int protocolBlocks = w->protocolLog->edit()->document()->blockCount();
    FUZZ_CHECK(protocolBlocks <= MainWindow::ProtocolLogBlocks + MainWindow::ProtocolLogBlocks / 10,
               QStringLiteral("the protocol log holds %1 blocks").arg(protocolBlocks));
    const int deviceBlocks = w->deviceLog->edit()->document()->blockCount();
    FUZZ_CHECK(deviceBlocks <= MainWindow::DeviceLogBlocks + MainWindow::DeviceLogBlocks / 10,
               QStringLiteral("the device log holds %1 blocks").arg(deviceBlocks));
    const int found = child<QComboBox>("cbDetectedDevices")->count();
    FUZZ_CHECK(found <= 256, QStringLiteral("the bus scan lists %1 devices").arg(found));
}

void setUp()
{
    h = new Harness;
    MainWindow *w = Fuzz::window();
    h->w = w;
    FUZZ_CHECK(h->dir.isValid(), QStringLiteral("no temporary folder"));
    h->target = h->dir.filePath(QStringLiteral("target.json"));
    h->upload = h->dir.filePath(QStringLiteral("upload.json"));
    h->firmware = h->dir.filePath(QStringLiteral("firmware.bin"));
    h->chip = h->dir.filePath(QStringLiteral("chip.nwfwu"));
    writeInput(h->target, "{\"kept\": \"the file the user had\"}\n");
    writeInput(h->upload, "{\"rfid\": {\"mode\": 1}, \"padding\": \"" + QByteArray(300, 'x') + "\"}\n");
    writeInput(h->firmware, pattern(600));
    writeInput(h->chip, kChipFile);
    h->inputs = {h->upload, h->firmware, h->chip};
    for (const QString &path : h->inputs)
        h->inputMarks << markOf(path);
    h->targetMark = markOf(h->target);

    w->link.waitLimitMs = kPauseLimitMs;
    w->askQuestion = [](const QString &, const QString &) { return true; };
    w->fileChooser = [](const QString &caption, const QString &filter, bool save) {
        if (save)
            return caption == QLatin1String("Save json") ? h->target : QString();
        if (caption == QLatin1String("Select json file"))
            return h->upload;
        return filter.contains(QLatin1String("nwfwu")) ? h->chip : h->firmware;
    };
    // No real serial port is ever opened.
    child<QComboBox>("cbSerialPort")->clear();

    QObject::connect(&w->protocol, &BinaryProtocol::protocolWrite,
                     [](uint8_t *frame, size_t len) { noteRequest(frame, len); });
    if (!h->server.listen(QHostAddress::LocalHost))
        Fuzz::fail("the reader's side listens", h->server.errorString());
    QObject::connect(&h->server, &QTcpServer::newConnection, [] {
        while (QTcpSocket *socket = h->server.nextPendingConnection()) {
            h->peer = socket;
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QObject::destroyed, [socket] {
                if (h->peer == socket)
                    h->peer = nullptr;
            });
        }
    });
    connectLink();
    FUZZ_CHECK(w->tcpConnected, QStringLiteral("the window does not connect to the reader's side"));
    std::atexit([] { h->dir.remove(); }); // before the window goes (registered earlier)
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::FILE *g_history = nullptr;

void replay(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fuzz::fail("the history opens", path);
    const QByteArray all = file.readAll();
    int count = 0;
    for (int pos = 0; pos + 4 <= all.size();) {
        const auto *p = reinterpret_cast<const uint8_t *>(all.constData() + pos);
        const int length = int(p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24));
        pos += 4;
        if (length < 0 || length > all.size() - pos)
            break;
        std::fprintf(stderr, "-- input %d (%d bytes)\n", ++count, length);
        LLVMFuzzerTestOneInput(p + 4, size_t(length));
        pos += length;
    }
    std::fprintf(stderr, "replayed %d inputs\n", count);
    std::exit(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Fuzz::searchLeaksAtEndOnly(argc, argv);
    setUp();
    if (qEnvironmentVariableIsSet("RX_FUZZ_REPLAY"))
        replay(qEnvironmentVariable("RX_FUZZ_REPLAY"));
    if (qEnvironmentVariableIsSet("RX_FUZZ_HISTORY")) {
        g_history = std::fopen(qgetenv("RX_FUZZ_HISTORY").constData(), "wb");
        if (!g_history)
            Fuzz::fail("the history file opens", qEnvironmentVariable("RX_FUZZ_HISTORY"));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_history) {
        const uint8_t length[4] = {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24)};
        std::fwrite(length, 1, 4, g_history);
        std::fwrite(data, 1, size, g_history);
        std::fflush(g_history);
    }
    MainWindow *w = h->w;
    Fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    connectLink();
    child<QGroupBox>("gbRS485")->setChecked(flags & 2);
    // The bus scan sets the address it probes; otherwise the link is at the
    // bus address or at none.
    if (w->oneShotState != MainWindow::Rs485Scan)
        w->protocol.setAddress((flags & 0x21) == 0x21 ? kBusAddress : 0);
    h->frames = 0;

    QByteArray last;
    while (!in.empty()) {
        const uint8_t op = in.byte();
        if (op < 0xC0 || op >= 0xF0) {
            last = in.take(op < 0xC0 ? op : in.word());
            handOn(flags, last);
            Fuzz::settle();
            checkStep("a frame");
        } else if (op < 0xE0) {
            act(in, (op - 0xC0) % kActionCount);
            Fuzz::settle();
            checkStep("an action");
        } else {
            const int times = op < 0xEF ? (op & 0x0F) + 1 : 8 * (in.byte() + 1);
            for (int i = 1; i <= times && h->frames < kMaxFramesPerInput; ++i) {
                handOn(flags, last);
                if (i % 64 == 0)
                    Fuzz::settle();
                checkStep("a repeated frame");
            }
            Fuzz::settle();
        }
    }
    checkInput();
    return 0;
}
