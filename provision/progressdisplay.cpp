#include "provision/progressdisplay.h"

#include <QFileInfo>
#include <QtGlobal>
#include <cstdio>

namespace {

// The terminal's size as the shell tells it, or the size every terminal has
// at least; a running line longer than the width would wrap and spoil the
// redraw, so lines are cut to it.
int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

ProgressDisplay::ProgressDisplay(bool terminal, QObject *parent)
    : QObject(parent)
    , m_terminal(terminal)
{
    m_redraw.setSingleShot(true);
    m_redraw.setInterval(100);
    connect(&m_redraw, &QTimer::timeout, this, &ProgressDisplay::redraw);
}

ProgressDisplay::~ProgressDisplay()
{
    clear();
}

bool ProgressDisplay::stderrIsTerminal()
{
    if (qEnvironmentVariable("TERM").isEmpty() || qEnvironmentVariable("TERM") == QLatin1String("dumb"))
        return false;
#ifdef Q_OS_LINUX
    // Standard error's file is a terminal device: a pseudo-terminal or a
    // console, not a pipe, socket or regular file.
    const QString device = QFileInfo(QStringLiteral("/proc/self/fd/2")).symLinkTarget();
    return device.startsWith(QLatin1String("/dev/pts/")) || device.startsWith(QLatin1String("/dev/tty"));
#else
    // Elsewhere plain lines: nothing in Qt tells a console from a pipe.
    return false;
#endif
}

void ProgressDisplay::step(const QString &target, const QString &text)
{
    if (!m_running.contains(target))
        m_order << target;
    m_running[target] = Running {text, -1};
    if (!m_terminal) {
        write((target + QStringLiteral(": ") + text).toUtf8() + '\n');
        return;
    }
    scheduleRedraw();
}

void ProgressDisplay::percent(const QString &target, int percent)
{
    auto running = m_running.find(target);
    if (running == m_running.end() || running->percent == percent)
        return;
    running->percent = percent;
    scheduleRedraw();
}

void ProgressDisplay::line(const QString &text)
{
    if (m_terminal)
        erase();
    write(text.toUtf8() + '\n');
    if (m_terminal)
        redraw();
}

void ProgressDisplay::forget(const QString &target)
{
    m_order.removeOne(target);
    m_running.remove(target);
    scheduleRedraw();
}

// Changes within one tick are drawn once, at its end.
void ProgressDisplay::scheduleRedraw()
{
    if (m_terminal && !m_redraw.isActive())
        m_redraw.start();
}

void ProgressDisplay::clear()
{
    m_redraw.stop();
    if (m_terminal)
        erase();
}

QStringList ProgressDisplay::runningLines() const
{
    QStringList lines;
    for (const QString &target : m_order) {
        const Running &running = m_running.value(target);
        lines << target + QStringLiteral(": ") + running.text
                + (running.percent >= 0 ? QStringLiteral(" %1%").arg(running.percent) : QString());
    }
    return lines;
}

// The running lines again, in place of the ones drawn before; as many as
// fit the terminal's height, the rest counted on the last line.
void ProgressDisplay::redraw()
{
    m_redraw.stop();
    const int width = environmentNumber("COLUMNS", 80) - 1;
    const int most = qMax(1, environmentNumber("LINES", 24) - 2);
    QStringList lines = runningLines();
    if (lines.size() > most) {
        const int hidden = lines.size() - most + 1;
        lines = lines.mid(0, most - 1);
        lines << QStringLiteral("... and %1 more").arg(hidden);
    }
    QByteArray bytes;
    if (m_drawn > 0)
        bytes += "\r\033[" + QByteArray::number(m_drawn) + 'A';
    for (const QString &line : lines)
        bytes += "\r\033[K" + line.left(width).toUtf8() + '\n';
    bytes += "\033[J"; // what is left of a longer block before
    m_drawn = lines.size();
    write(bytes);
}

void ProgressDisplay::erase()
{
    if (m_drawn == 0)
        return;
    write("\r\033[" + QByteArray::number(m_drawn) + "A\033[J");
    m_drawn = 0;
}

void ProgressDisplay::write(const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    fflush(stderr);
}
