// Renders the pictures of the README from the real window beside the
// simulated reader: rx-screenshots OUTPUT_DIR. Run it inside a private
// network namespace like every program that builds the main window.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

#include "support/windowfixture.h"

static void settle(int ms)
{
    QTest::qWait(ms);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);

    WindowFixture f;
    MainWindow *w = f.window();
    w->resize(1100, 815);
    if (!f.connectSerial()) {
        qWarning("could not connect to the simulated reader");
        return 1;
    }
    settle(300);
    f.reader()->sendLogLine(QStringLiteral("\x1b[0;32mI (1523) rfid: polling started"));
    f.reader()->sendLogLine(QStringLiteral("\x1b[0;33mW (2210) uart: RX buffer 80% full"));
    f.reader()->sendLogLine(QStringLiteral("\x1b[0;31mE (2231) nfc: no answer from tag"));
    auto *list = f.widget<QListWidget>(QStringLiteral("lvCommands"));
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().startsWith(QStringLiteral("[14]"))) {
            list->setCurrentRow(i);
            break;
        }
    }
    w->paramEdits[0]->setText(QStringLiteral("FF 00 80"));
    w->paramEdits[1]->setText(QStringLiteral("500"));
    f.click(QStringLiteral("btCommnadExecute"));
    settle(300);
    f.click(QStringLiteral("btShowLegend"));
    settle(300);
    const bool ok = w->grab().save(out + QStringLiteral("/main-window.png"));
    return ok ? 0 : 1;
}
