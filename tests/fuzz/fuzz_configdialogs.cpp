// The three configuration dialogs on any document bytes: construction, then
// OK without a change.
//
// Input: which dialog (modulo 3: RFID, UART, sleep), a flags byte (bit 0:
// shown before OK, bit 1: with a parent window), then the document. With
// bit 2 (the RFID dialog only) the document's length comes first (16 bits,
// least significant byte first) and after the document, steps on its known
// tag list while it is open, as the reader and the user take them: an op
// byte below 0xC0 is a frame whose body (status, command, data, two bytes
// in the place of the CRC) is the next op bytes; above, (op - 0xC0) modulo
// 5: "Get from device", "Add from antenna", "Delete selected" (the next
// byte picks the entry selected first), "Write to device", or the frame
// before again, (next byte + 1) * 8 times (a reader flooding the link).
// What the dialog sends is a Known list or Get tag count request that fits
// a frame; each "Write to device" ends in at most one "Tag list updated on
// the device", and none comes without one; the list holds no more entries
// than answers came.
//
// A dialog whose section is unusable reports it in a message box (answered
// here) and says so by failed(); it emits nothing. Otherwise OK emits the
// whole document at most once: a JSON object whose text outside the
// dialog's section is the input's, byte for byte. The UART and sleep
// dialogs always emit when OK can be pressed (the UART dialog disables it
// while its two protocols clash); the RFID dialog may refuse (a key it
// cannot take) and stay open. A second dialog on what the first emitted,
// left unchanged as well, gives back those very bytes: every key it writes
// is there now, and nothing it shows is written unless changed.

#include <QAbstractButton>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QWidget>
#include <type_traits>

#include "config/jsontext.h"
#include "config/pollingwindow.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"
#include "fuzzsupport.h"
#include "link/binaryprotocol.h"

namespace {

// Tells the text of every message box that is shown.
class BoxWatch : public QObject
{
    Q_OBJECT
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                emit shown(box->text());
        return false;
    }
signals:
    void shown(const QString &text);
};

BoxWatch g_boxes;

// The text before and after the section's value.
QByteArray outside(const QByteArray &document, const QString &section)
{
    const JsonText json(document);
    const int node = json.find({section});
    if (node < 0)
        return QByteArray("(no section)");
    return document.left(json.offset(node)) + "<>" + document.mid(json.offset(node) + json.raw(node).size());
}

// The known tag list of an open RFID dialog, driven by steps.
void knownTagSteps(pollingwindow *dialog, Fuzz::Input &in, const QString &detail)
{
    const int maxPayload = int(BinaryProtocol::BufferSize - BinaryProtocol::HeaderSize - 2);
    const QMetaObject::Connection sending = QObject::connect(
        dialog, &pollingwindow::binaryFrameSend, [&](uint8_t *buff, int len) {
            FUZZ_CHECK(len >= 1 && len <= maxPayload && (buff[0] == 0x18 || buff[0] == 0x02),
                       detail + QStringLiteral(" sent ")
                           + QString::fromLatin1(QByteArray(reinterpret_cast<char *>(buff), qMax(len, 0)).toHex(' ')));
        });
    int writes = 0;
    int updated = 0;
    const QMetaObject::Connection boxes = QObject::connect(&g_boxes, &BoxWatch::shown, [&](const QString &text) {
        if (text == QLatin1String("Tag list updated on the device"))
            ++updated;
    });
    auto *list = dialog->findChild<QListWidget *>(QStringLiteral("lvTags"));
    auto click = [dialog](const char *name) { dialog->findChild<QAbstractButton *>(QLatin1String(name))->click(); };
    int entryAnswers = 0;
    QByteArray last;
    while (!in.empty()) {
        const uint8_t op = in.byte();
        int times = 1;
        if (op >= 0xC0) {
            switch ((op - 0xC0) % 5) {
            case 0:
                click("btGetList");
                break;
            case 1:
                click("btAdd");
                break;
            case 2:
                if (list->count() > 0)
                    list->setCurrentRow(in.byte() % list->count());
                click("btDelete");
                break;
            case 3:
                ++writes;
                click("btWrite2Device");
                break;
            default:
                times = (in.byte() + 1) * 8;
                break;
            }
            if ((op - 0xC0) % 5 != 4) {
                Fuzz::settle();
                continue;
            }
        } else {
            last = in.take(op);
        }
        for (int i = 0; i < times; ++i) {
            Fuzz::deliverFrame(dialog, last);
            if (last.size() > 6 && last.at(0) == 0 && (last.at(1) == 0x18 || last.at(1) == 0x03))
                ++entryAnswers;
            if (i % 64 == 63)
                Fuzz::settle();
        }
        Fuzz::settle();
    }
    FUZZ_CHECK(updated <= writes,
               detail + QStringLiteral(" %1 times \"Tag list updated\" for %2 writes").arg(updated).arg(writes));
    FUZZ_CHECK(list->count() <= entryAnswers,
               detail + QStringLiteral(" %1 entries from %2 answers").arg(list->count()).arg(entryAnswers));
    QObject::disconnect(sending);
    QObject::disconnect(boxes);
}

struct Outcome
{
    bool failed = false;
    int emitted = 0;
    QByteArray document;
};

template<class Dialog>
Outcome okUnchanged(QWidget *parent, bool show, const QByteArray &input, const QString &detail, Fuzz::Input *steps)
{
    constexpr bool rfid = std::is_same<Dialog, pollingwindow>::value;
    Dialog dialog(parent, input);
    Outcome out;
    out.failed = dialog.failed();
    QObject::connect(&dialog, &Dialog::updateConfiguration, [&out](const QByteArray &document) {
        ++out.emitted;
        out.document = document;
    });
    if (!out.failed) {
        if (show || steps)
            dialog.show();
        if (steps)
            knownTagSteps(qobject_cast<pollingwindow *>(&dialog), *steps, detail);
        auto *ok = dialog.template findChild<QAbstractButton *>(QLatin1String(rfid ? "btOK" : "btOk"));
        FUZZ_CHECK(ok != nullptr, QStringLiteral("no OK button"));
        // A disabled OK (the UART dialog's protocols clash) cannot be pressed.
        const bool enabled = ok->isEnabled();
        ok->click();
        FUZZ_CHECK(enabled || out.emitted == 0, detail + QStringLiteral(" emitted on a disabled OK"));
        FUZZ_CHECK(rfid || !enabled || out.emitted == 1, detail + QStringLiteral(" emitted nothing"));
    }
    Fuzz::settle();
    FUZZ_CHECK(out.emitted <= 1, detail + QStringLiteral(" emitted %1 times").arg(out.emitted));
    FUZZ_CHECK(!out.failed || out.emitted == 0, detail + QStringLiteral(" emitted after failing"));
    return out;
}

Outcome okUnchanged(int which, QWidget *parent, bool show, const QByteArray &input, const QString &detail,
                    Fuzz::Input *steps = nullptr)
{
    if (which == 0)
        return okUnchanged<pollingwindow>(parent, show, input, detail, steps);
    if (which == 1)
        return okUnchanged<UartConfigWindow>(parent, show, input, detail, nullptr);
    return okUnchanged<SleepConfigWindow>(parent, show, input, detail, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initGui();
    qApp->installEventFilter(&g_boxes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QWidget *parentWindow = nullptr;
    Fuzz::Input in(data, size);
    const int which = in.byte() % 3;
    const uint8_t flags = in.byte();
    const bool steps = (flags & 4) && which == 0;
    const QByteArray input = steps ? in.take(in.word()) : in.rest();
    QWidget *parent = nullptr;
    if (flags & 2) {
        if (!parentWindow)
            parentWindow = new QWidget();
        parent = parentWindow;
    }
    const QString section = QString::fromLatin1(which == 0 ? "rfid" : which == 1 ? "communication" : "sleep");
    const QString detail = QStringLiteral("dialog %1 on %2:").arg(which).arg(QString::fromUtf8(input.left(2000)));

    const Outcome first = okUnchanged(which, parent, flags & 1, input, detail, steps ? &in : nullptr);
    const JsonText json(input);
    const int node = json.find({section});
    const bool usable = node >= 0 && json.type(node) == JsonText::Object && json.type(0) == JsonText::Object;
    FUZZ_CHECK(first.failed == !usable, detail + QStringLiteral(" failed: %1").arg(first.failed));
    if (first.emitted == 1) {
        const JsonText out(first.document);
        FUZZ_CHECK(out.isValid() && out.type(0) == JsonText::Object,
                   detail + QStringLiteral(" emitted ") + QString::fromUtf8(first.document));
        FUZZ_CHECK(outside(first.document, section) == outside(input, section),
                   detail + QStringLiteral(" changed outside its section: ") + QString::fromUtf8(first.document));
        const Outcome second = okUnchanged(which, parent, false, first.document, detail);
        FUZZ_CHECK(second.emitted == 1 && second.document == first.document,
                   detail + QStringLiteral(" second OK changed ") + QString::fromUtf8(first.document)
                       + QStringLiteral(" into ") + QString::fromUtf8(second.document));
    }
    Fuzz::settle();
    return 0;
}

#include "fuzz_configdialogs.moc"
