// The three configuration dialogs on any document text: construction, then
// OK.
//
// Input: which dialog (modulo 3: RFID, UART, sleep), a flags byte (bit 0:
// shown before OK, bit 1: with a parent window), then the document (UTF-8).
//
// A dialog whose section is unusable reports it in a message box (answered
// here) and says so by failed(); it emits nothing. Otherwise OK emits the
// whole document at most once: a JSON object in which everything outside
// what the dialog edits is what came in. The UART and sleep dialogs always
// emit when OK can be pressed (the UART dialog disables it while its two
// protocols clash); the RFID dialog may refuse (a key it cannot take) and
// stay open.

#include <QAbstractButton>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "config/configdocument.h"
#include "config/pollingwindow.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"
#include "fuzzsupport.h"

namespace {

// A document as it reads after a trip through the serialiser, so that
// comparisons are not thrown by what JSON cannot carry (infinities and the like).
QJsonObject normalised(const QJsonObject &root)
{
    return QJsonDocument::fromJson(QJsonDocument(root).toJson(QJsonDocument::Compact)).object();
}

void checkCarriedOver(const QJsonObject &before, const QString &emitted, const QString &section,
                      const QString &innerSection, const QString &detail)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(emitted.toUtf8(), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && doc.isObject(),
               detail + QStringLiteral(" emitted ") + emitted);
    const QJsonObject after = normalised(doc.object());
    const QJsonObject in = normalised(before);
    for (auto it = in.begin(); it != in.end(); ++it) {
        if (it.key() == section)
            continue;
        FUZZ_CHECK(after.value(it.key()) == it.value(),
                   detail + QStringLiteral(" lost or changed \"") + it.key() + QStringLiteral("\": ") + emitted);
    }
    FUZZ_CHECK(after.value(section).isObject(), detail + QStringLiteral(" no section: ") + emitted);
    if (innerSection.isEmpty())
        return;
    // Only one member of the section is edited; the rest of it is carried over.
    const QJsonObject inSection = in.value(section).toObject();
    const QJsonObject afterSection = after.value(section).toObject();
    for (auto it = inSection.begin(); it != inSection.end(); ++it) {
        if (it.key() == innerSection)
            continue;
        FUZZ_CHECK(afterSection.value(it.key()) == it.value(),
                   detail + QStringLiteral(" lost or changed \"") + section + QLatin1Char('.') + it.key()
                       + QStringLiteral("\": ") + emitted);
    }
}

template<class Dialog>
void run(Dialog *dialog, const char *okButton, bool show, bool mayRefuse, const QJsonObject &before,
         const QString &section, const QString &innerSection, const QString &detail)
{
    int emitted = 0;
    QString text;
    QObject::connect(dialog, &Dialog::updateConfiguration, [&](const QString &doc) {
        ++emitted;
        text = doc;
    });
    if (dialog->failed()) {
        FUZZ_CHECK(!normalised(before).value(section).isObject(),
                   detail + QStringLiteral(" failed on a usable section"));
        Fuzz::settle();
        FUZZ_CHECK(emitted == 0, detail);
        return;
    }
    FUZZ_CHECK(normalised(before).value(section).isObject(), detail + QStringLiteral(" took an unusable section"));
    if (show)
        dialog->show();
    auto *ok = dialog->template findChild<QAbstractButton *>(QLatin1String(okButton));
    FUZZ_CHECK(ok != nullptr, QStringLiteral("no OK button"));
    // A disabled OK (the UART dialog's protocols clash) cannot be pressed.
    const bool enabled = ok->isEnabled();
    ok->click();
    Fuzz::settle();
    FUZZ_CHECK(emitted <= 1, detail + QStringLiteral(" emitted %1 times").arg(emitted));
    FUZZ_CHECK(enabled || emitted == 0, detail + QStringLiteral(" emitted on a disabled OK"));
    FUZZ_CHECK(mayRefuse || !enabled || emitted == 1, detail + QStringLiteral(" emitted nothing"));
    if (emitted == 1)
        checkCarriedOver(before, text, section, innerSection, detail);
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
    const QString config = QString::fromUtf8(in.rest());
    const QJsonObject before = ConfigDocument::parse(config);
    QWidget *parent = nullptr;
    if (flags & 2) {
        if (!parentWindow)
            parentWindow = new QWidget();
        parent = parentWindow;
    }
    const bool show = flags & 1;
    const QString detail = QStringLiteral("dialog %1 on %2:").arg(which).arg(config.left(2000));

    switch (which) {
    case 0: {
        std::unique_ptr<pollingwindow> dialog(new pollingwindow(parent, config));
        run(dialog.get(), "btOK", show, true, before, QStringLiteral("rfid"), QString(), detail);
        break;
    }
    case 1: {
        std::unique_ptr<UartConfigWindow> dialog(new UartConfigWindow(parent, config));
        run(dialog.get(), "btOk", show, false, before, QStringLiteral("communication"), QStringLiteral("uart"), detail);
        break;
    }
    default: {
        std::unique_ptr<SleepConfigWindow> dialog(new SleepConfigWindow(parent, config));
        run(dialog.get(), "btOk", show, false, before, QStringLiteral("sleep"), QString(), detail);
        break;
    }
    }
    Fuzz::settle();
    return 0;
}
