#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

// A command sent from the console is not repeated, but it is watched: when
// no answer to it (positive or error) has come within waitMs, the user is
// told so. A later command takes the place of one still watched; a damaged
// frame or a link that goes down ends the watch, since the user has been
// shown what happened instead.
class AnswerWatch : public QObject
{
    Q_OBJECT
public:
    explicit AnswerWatch(QObject *parent = nullptr);

    int waitMs = 5000;
    void watch(uint8_t code, const QString &name);
    // An answer to code came.
    void answered(uint8_t code);
    void cancel();
    bool watching() const { return m_timer.isActive(); }

signals:
    // "No answer to <name> within <waitMs> ms"
    void unanswered(const QString &line);

private:
    QTimer m_timer;
    int m_code = -1;
    QString m_name;
};
