// The three configuration dialogs on any document bytes: construction, then
// OK without a change.
//
// Input: which dialog (modulo 3: RFID, UART, sleep), a flags byte (bit 0:
// shown before OK, bit 1: with a parent window), then the document.
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
#include <QWidget>
#include <memory>

#include "config/jsontext.h"
#include "config/pollingwindow.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"
#include "fuzzsupport.h"

namespace {

// The text before and after the section's value.
QByteArray outside(const QByteArray &document, const QString &section)
{
    const JsonText json(document);
    const int node = json.find({section});
    if (node < 0)
        return QByteArray("(no section)");
    return document.left(json.offset(node)) + "<>" + document.mid(json.offset(node) + json.raw(node).size());
}

struct Outcome
{
    bool failed = false;
    int emitted = 0;
    QByteArray document;
};

Outcome okUnchanged(int which, QWidget *parent, bool show, const QByteArray &input, const QString &detail)
{
    std::unique_ptr<QDialog> dialog;
    Outcome out;
    switch (which) {
    case 0:
        dialog.reset(new pollingwindow(parent, input));
        out.failed = static_cast<pollingwindow *>(dialog.get())->failed();
        break;
    case 1:
        dialog.reset(new UartConfigWindow(parent, input));
        out.failed = static_cast<UartConfigWindow *>(dialog.get())->failed();
        break;
    default:
        dialog.reset(new SleepConfigWindow(parent, input));
        out.failed = static_cast<SleepConfigWindow *>(dialog.get())->failed();
        break;
    }
    auto record = [&out](const QByteArray &doc) {
        ++out.emitted;
        out.document = doc;
    };
    if (which == 0)
        QObject::connect(static_cast<pollingwindow *>(dialog.get()), &pollingwindow::updateConfiguration, record);
    else if (which == 1)
        QObject::connect(static_cast<UartConfigWindow *>(dialog.get()), &UartConfigWindow::updateConfiguration, record);
    else
        QObject::connect(static_cast<SleepConfigWindow *>(dialog.get()), &SleepConfigWindow::updateConfiguration,
                         record);
    if (!out.failed) {
        if (show)
            dialog->show();
        auto *ok = dialog->findChild<QAbstractButton *>(QLatin1String(which == 0 ? "btOK" : "btOk"));
        FUZZ_CHECK(ok != nullptr, QStringLiteral("no OK button"));
        // A disabled OK (the UART dialog's protocols clash) cannot be pressed.
        const bool enabled = ok->isEnabled();
        ok->click();
        FUZZ_CHECK(enabled || out.emitted == 0, detail + QStringLiteral(" emitted on a disabled OK"));
        FUZZ_CHECK(which == 0 || !enabled || out.emitted == 1, detail + QStringLiteral(" emitted nothing"));
    }
    Fuzz::settle();
    FUZZ_CHECK(out.emitted <= 1, detail + QStringLiteral(" emitted %1 times").arg(out.emitted));
    FUZZ_CHECK(!out.failed || out.emitted == 0, detail + QStringLiteral(" emitted after failing"));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initGui();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QWidget *parentWindow = nullptr;
    Fuzz::Input in(data, size);
    const int which = in.byte() % 3;
    const uint8_t flags = in.byte();
    const QByteArray input = in.rest();
    QWidget *parent = nullptr;
    if (flags & 2) {
        if (!parentWindow)
            parentWindow = new QWidget();
        parent = parentWindow;
    }
    const QString section = QString::fromLatin1(which == 0 ? "rfid" : which == 1 ? "communication" : "sleep");
    const QString detail = QStringLiteral("dialog %1 on %2:").arg(which).arg(QString::fromUtf8(input.left(2000)));

    const Outcome first = okUnchanged(which, parent, flags & 1, input, detail);
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
