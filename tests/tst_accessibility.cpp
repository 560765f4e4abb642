// The window and the dialogs as a screen reader, large text and a small
// screen meet them: every control has a name of its own, no caption is cut
// off, and every window fits a 1280 x 720 screen. CTest runs captionsFit
// again with the text at 120 and 144 DPI and at 150 % scaling.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>
#include <memory>

#include "config/pollingwindow.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"
#include "console/newfavcmdwindow.h"
#include "sim/simfiles.h"
#include "support/windowfixture.h"

namespace {

// What a window has of a 1280 x 720 screen (logical pixels) besides its
// frame, its title bar and the desktop's panel.
const QSize ScreenRoom(1264, 656);

QString describe(const QWidget *w)
{
    return w->objectName().isEmpty()
        ? QString::fromLatin1(w->metaObject()->className()) + QLatin1String(" in ") + w->parentWidget()->objectName()
        : w->objectName();
}

// Controls a user acts on, which a screen reader announces by name. The
// items of a list or table are named by their text, and so are a combo
// box's.
void collectUnnamed(QAccessibleInterface *node, QStringList &unnamed)
{
    static const QList<QAccessible::Role> interactive {
        QAccessible::PushButton,   QAccessible::CheckBox,    QAccessible::RadioButton, QAccessible::ComboBox,
        QAccessible::EditableText, QAccessible::SpinBox,     QAccessible::List,        QAccessible::Table,
        QAccessible::Tree,         QAccessible::PageTabList, QAccessible::Slider};
    const QAccessible::Role role = node->role();
    auto *w = qobject_cast<QWidget *>(node->object());
    // A name Qt guesses (a combo box's value, the title of the group around
    // a field) is no name.
    if (interactive.contains(role) && (node->text(QAccessible::Name).isEmpty() || !w || w->accessibleName().isEmpty()))
        unnamed << (w ? describe(w) : node->text(QAccessible::Name));
    if (role == QAccessible::List || role == QAccessible::Table || role == QAccessible::Tree
        || role == QAccessible::ComboBox)
        return;
    for (int i = 0; i < node->childCount(); ++i)
        collectUnnamed(node->child(i), unnamed);
}

// Each shown caption, a label's, a button's, a combo box's value or a tab's
// title, has the room it asks for.
void collectCut(QWidget *window, QStringList &cut)
{
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->window() != window || !w->isVisibleTo(window)
            || !(qobject_cast<QAbstractButton *>(w) || qobject_cast<QLabel *>(w) || qobject_cast<QComboBox *>(w)
                 || qobject_cast<QTabBar *>(w)))
            continue;
        QSize need = qobject_cast<QTabBar *>(w) ? w->sizeHint() : w->minimumSizeHint();
        // A push button asks for the style's least width, more than a short
        // caption needs.
        if (auto *button = qobject_cast<QPushButton *>(w)) {
            const int margins = 2
                * (w->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w)
                   + w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w));
            const int icon = button->icon().isNull() ? 0 : button->iconSize().width();
            need.setWidth(qMin(need.width(), w->fontMetrics().horizontalAdvance(button->text()) + icon + margins));
        }
        if (w->width() < need.width() || w->height() < need.height())
            cut << QStringLiteral("%1 %2x%3 < %4x%5")
                       .arg(describe(w))
                       .arg(w->width())
                       .arg(w->height())
                       .arg(need.width())
                       .arg(need.height());
    }
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowFixture> f;
    std::unique_ptr<QWidget> dialog;

    // The window with a command's parameter fields, or one of the dialogs
    // over it, shown.
    QWidget *open(const QString &form)
    {
        MainWindow *w = f->window();
        const QByteArray document = SimFileSystem::configDocument(SimFileSystem::ConfigR4);
        if (form == QLatin1String("favourite"))
            dialog.reset(
                new NewFavCmdWindow(w, -1, QStringLiteral("Version"), QStringLiteral("F5 03 00 FC FF 0B 9B 50")));
        else if (form == QLatin1String("rfid"))
            dialog.reset(new pollingwindow(w, document));
        else if (form == QLatin1String("uart"))
            dialog.reset(new UartConfigWindow(w, document));
        else if (form == QLatin1String("sleep"))
            dialog.reset(new SleepConfigWindow(w, document));
        else
            return w;
        dialog->show();
        return QTest::qWaitForWindowExposed(dialog.get()) ? dialog.get() : nullptr;
    }

private slots:
    void initTestCase()
    {
        QAccessible::setActive(true);
        f.reset(new WindowFixture(false));
        auto *commands = f->widget<QListWidget>(QStringLiteral("lvCommands"));
        const QList<QListWidgetItem *> led = commands->findItems(QStringLiteral("[14]"), Qt::MatchStartsWith);
        QVERIFY(!led.isEmpty());
        commands->setCurrentItem(led.first());
    }
    void cleanup() { dialog.reset(); }
    void cleanupTestCase() { f.reset(); }

    void namedControls_data()
    {
        QTest::addColumn<QString>("form");
        for (const char *form : {"main", "favourite", "rfid", "uart", "sleep"})
            QTest::newRow(form) << QString::fromLatin1(form);
    }
    void namedControls()
    {
        QFETCH(QString, form);
        QWidget *window = open(form);
        QVERIFY(window);
        QStringList unnamed;
        collectUnnamed(QAccessible::queryAccessibleInterface(window), unnamed);
        QCOMPARE(unnamed.join(QStringLiteral(", ")), QString());
    }

    // Alt+C presses the Connect button of the connection page shown; the
    // other page's, hidden, does not take the key too.
    void accessKeys()
    {
        auto *pages = f->widget<QTabWidget>(QStringLiteral("tabWidget"));
        pages->setCurrentIndex(1);
        f->window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f->window()));
        QTest::keyClick(f->window(), Qt::Key_C, Qt::AltModifier);
        QVERIFY(f->waitForLog(QStringLiteral("Please enter device IP address or select from device list")));
        pages->setCurrentIndex(0);
    }

    // At the least size the window takes, on every page of every tab.
    void captionsFit_data() { namedControls_data(); }
    void captionsFit()
    {
        QFETCH(QString, form);
        QWidget *window = open(form);
        QVERIFY(window);
        window->resize(1, 1);
        QStringList cut;
        collectCut(window, cut);
        for (QTabWidget *pages : window->findChildren<QTabWidget *>()) {
            for (int i = 0; i < pages->count(); ++i) {
                pages->setCurrentIndex(i);
                collectCut(window, cut);
            }
            pages->setCurrentIndex(0);
        }
        cut.removeDuplicates();
        QCOMPARE(cut.join(QStringLiteral(", ")), QString());
        const QSize least = window->minimumSize().expandedTo(window->minimumSizeHint());
        QVERIFY2(least.width() <= ScreenRoom.width() && least.height() <= ScreenRoom.height(),
                 qPrintable(QStringLiteral("at least %1x%2").arg(least.width()).arg(least.height())));
    }
};

// Not QTEST_MAIN, which takes the screen to have 96 DPI: the text is drawn
// at the DPI the environment gives (QT_FONT_DPI) and nothing else scales,
// as a desktop's larger-text setting does, in a common desktop's 10 point
// font.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QFont font = QApplication::font();
    font.setPointSize(10);
    QApplication::setFont(font);
    TestAccessibility test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_accessibility.moc"
