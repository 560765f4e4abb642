#include "console/answerwatch.h"

AnswerWatch::AnswerWatch(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_code = -1;
        emit unanswered(QStringLiteral("No answer to %1 within %2 ms").arg(m_name).arg(waitMs));
    });
}

void AnswerWatch::watch(uint8_t code, const QString &name)
{
    m_code = code;
    m_name = name;
    m_timer.start(waitMs);
}

void AnswerWatch::answered(uint8_t code)
{
    if (m_code == int(code))
        cancel();
}

void AnswerWatch::cancel()
{
    m_code = -1;
    m_timer.stop();
}
