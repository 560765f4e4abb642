#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// While it lives, every modal message box that comes up is answered with its
// default button (OK where it has none), and its "title: text" is kept
// (with "\ninformative text" where the box has one).
class MessageBoxes : public QObject
{
public:
    MessageBoxes()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            QString seenText = box->windowTitle() + QStringLiteral(": ") + box->text();
            if (!box->informativeText().isEmpty())
                seenText += QStringLiteral("\n") + box->informativeText();
            seen << seenText;
            if (QAbstractButton *button = box->defaultButton())
                button->click();
            else
                box->done(QMessageBox::Ok);
        });
        m_poll.start(10);
    }
    QStringList seen;

private:
    QTimer m_poll;
};
