#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QListWidget>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>

#include "app/mainwindow.h"
#include "support/bytes.h"
#include "support/rununtil.h"
#include "sim/simreader.h"

// The real main window with a settings store of its own in a temporary
// folder, beside a simulated reader on a real pty. Offers the verbs a user's
// story needs: click a widget by name, connect, wait for a log line.
// The texts of a list's or a combo box's items, in order.
QStringList itemTexts(const QListWidget *list);
QStringList itemTexts(const QComboBox *box);

class WindowFixture
{
public:
    explicit WindowFixture(bool withReader = true);
    ~WindowFixture();

    MainWindow *window() const { return m_window.get(); }
    SimReader *reader() const { return m_reader.get(); }
    QString settingsFile() const;

    // Destroys the window (saving its settings) and builds a new one on the
    // same settings store.
    void reopenWindow();
    void closeWindow();

    template<class T>
    T *widget(const QString &name) const
    {
        T *w = m_window->findChild<T *>(name);
        if (!w)
            qWarning("no widget named %s", qPrintable(name));
        return w;
    }
    void click(const QString &buttonName);

    // Puts the simulator's pty into the port list (ptys are not listed by the
    // system) and selects it.
    void selectReaderPort();
    // Selects the reader's port, presses Connect and waits for the version.
    bool connectSerial();

    // Connects over TCP to the simulator (or to port) on the loopback
    // address; the first waits for the version.
    bool connectTcp();
    // Waits until the request for log lines that follows the version of a
    // reader that has them is answered: the link is quiet then.
    bool settle();
    void clickConnectTcp(quint16 port);
    // Selects path in the port list (adding it) and presses Connect.
    void clickConnectSerial(const QString &path);
    // The reader sends this payload (status first) on every open transport.
    void injectAnswer(const QByteArray &payload);
    // Faults of the reader, as its control commands "answers ...",
    // "requests ..." and "files eof-error on|off", separated by "; ". False
    // when one is not understood.
    bool applyFaults(const QString &lines);

    // The questions the window asked ("title: text"), oldest first.
    QStringList questions;

    QString logText() const;
    bool waitForLog(const QString &text, int timeoutMs = 3000) const;
    int logCount(const QString &text) const;

    // Runs action; the first modal message box that appears is answered
    // with its default button and its "title: text" is returned.
    QString answerMessageBox(const std::function<void()> &action, int timeoutMs = 3000);


private:
    void buildWindow();

    QTemporaryDir m_settingsDir;
    std::unique_ptr<SimReader> m_reader;
    std::unique_ptr<MainWindow> m_window;
};
