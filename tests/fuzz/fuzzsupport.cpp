#include "fuzzsupport.h"

#include <QApplication>
#include <QDialog>
#include <QJsonDocument>
#include <QMessageBox>
#include <QOpenGLContext>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sanitizer/lsan_interface.h>
#include <vector>

#include "app/mainwindow.h"

namespace Fuzz {

namespace {

int g_argc = 1;
char g_arg0[] = "rx-fuzz";
char *g_argv[] = {g_arg0, nullptr};

bool verbose()
{
    static const bool on = qEnvironmentVariableIsSet("RX_FUZZ_VERBOSE");
    return on;
}

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg || (verbose() && type != QtDebugMsg && type != QtInfoMsg)) {
        std::fprintf(stderr, "%s\n", qPrintable(msg));
        std::fflush(stderr);
    }
    if (type == QtFatalMsg)
        std::abort();
}

// Answers what comes up: the front modal widget first (a message box with its
// default button, or Escape when it has none; any other dialog is rejected),
// then every other visible dialog is closed.
void closeDialogs()
{
    if (QWidget *modal = QApplication::activeModalWidget()) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            if (QAbstractButton *button = box->defaultButton())
                button->click();
            else if (QAbstractButton *escape = box->escapeButton())
                escape->click();
            else
                box->done(QMessageBox::Ok);
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
    }
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<QDialog *>(w)) {
            if (dialog->isVisible() && !dialog->isModal())
                dialog->reject();
        }
    }
}

// Closes message boxes and dialogs from inside the nested event loops they run.
void startDialogCloser()
{
    static QTimer *timer = nullptr;
    if (timer)
        return;
    timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, [] { closeDialogs(); });
    timer->start();
}

MainWindow *g_window = nullptr;

void destroyWindow()
{
    delete g_window; // stops the discovery loops before the thread pool goes
    g_window = nullptr;
}

} // namespace

void initCore()
{
    if (QCoreApplication::instance())
        return;
    qInstallMessageHandler(quietHandler);
    new QCoreApplication(g_argc, g_argv);
}

void initGui()
{
    if (QCoreApplication::instance())
        return;
    qInstallMessageHandler(quietHandler);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(g_argc, g_argv);
    // Removed at exit, after the window (made later) has saved its settings.
    static QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    startDialogCloser();
}

MainWindow *window()
{
    if (g_window)
        return g_window;
    initGui();
    g_window = new MainWindow();
    g_window->fileChooser = [](const QString &, const QString &, bool) { return QString(); };
    g_window->askQuestion = [](const QString &, const QString &) { return false; };
    // Not shown: nothing of the window's logic looks at its visibility, and
    // painting it would cost more than the code under test.
    settle();
    // The window goes at exit, before the thread pool its discovery loops
    // run on and before what its destruction still uses (the GL context
    // storage its native windows look at) are torn down: those must exist
    // before the handler is registered.
    QOpenGLContext::currentContext();
    std::atexit(destroyWindow);
    return g_window;
}

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        closeDialogs();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void searchLeaksAtEndOnly(int *argc, char ***argv)
{
    static std::vector<char *> args(*argv, *argv + *argc);
    static char noSearchPerInput[] = "-detect_leaks=0";
    args.insert(args.begin() + 1, noSearchPerInput);
    args.push_back(nullptr);
    *argv = args.data();
    ++*argc;
}

void fail(const char *condition, const QString &detail)
{
    std::fprintf(stderr, "\n*** invariant broken: %s\n    %s\n", condition, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

uint8_t Input::byte()
{
    if (m_size == 0)
        return 0;
    --m_size;
    return *m_data++;
}

uint16_t Input::word()
{
    const uint8_t lo = byte();
    return uint16_t(lo | (byte() << 8));
}

QByteArray Input::take(size_t n)
{
    n = qMin(n, m_size);
    QByteArray out(reinterpret_cast<const char *>(m_data), int(n));
    m_data += n;
    m_size -= n;
    return out;
}

QByteArray Input::line(size_t max)
{
    const size_t limit = qMin(max, m_size);
    size_t n = 0;
    while (n < limit && m_data[n] != '\n')
        ++n;
    QByteArray out(reinterpret_cast<const char *>(m_data), int(n));
    const size_t used = (n < m_size && m_data[n] == '\n') ? n + 1 : n;
    m_data += used;
    m_size -= used;
    return out;
}

QByteArray Input::rest()
{
    return take(m_size);
}

} // namespace Fuzz

// Qt 5.15's JSON parser loses the earlier value of a key that an object holds
// twice when that value is an object or an array: a few bytes per document,
// whoever parses it. A suppression cannot single these out (fast unwinding
// stops in QtCore, which is built without frame pointers, so the reports
// name no parser function), so in the fuzz targets the parser's own
// allocations are not counted as leaks. What the client does with the
// documents, and everything else, is checked as before. This definition
// takes the place of QtCore's for the code linked into a fuzz target.
QJsonDocument QJsonDocument::fromJson(const QByteArray &json, QJsonParseError *error)
{
    using Parse = QJsonDocument (*)(const QByteArray &, QJsonParseError *);
    static const Parse qtParse = reinterpret_cast<Parse>(
        dlvsym(RTLD_NEXT, "_ZN13QJsonDocument8fromJsonERK10QByteArrayP15QJsonParseError", "Qt_5"));
    if (!qtParse)
        Fuzz::fail("QtCore's QJsonDocument::fromJson is found", QString::fromLocal8Bit(dlerror()));
    __lsan_disable();
    QJsonDocument document = qtParse(json, error);
    __lsan_enable();
    return document;
}
