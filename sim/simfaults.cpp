#include "sim/simfaults.h"

#include "sim/simchannel.h"
#include "sim/simreader.h"

#include <QTimer>

SimAnswerFaults::SimAnswerFaults(SimReader *reader)
    : QObject(reader)
    , m_reader(reader)
{
    setObjectName(QStringLiteral("SimAnswerFaults"));
}

SimAnswerFaults *SimAnswerFaults::of(SimReader *reader)
{
    return reader ? reader->findChild<SimAnswerFaults *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void SimAnswerFaults::add(const Rule &rule)
{
    Active active;
    active.rule = rule;
    active.random.seed(rule.seed);
    m_rules.append(active);
}

void SimAnswerFaults::clear()
{
    m_rules.clear();
    m_dropAfter = -1;
}

bool SimAnswerFaults::hit(Active &active, quint8 code)
{
    const Rule &rule = active.rule;
    if (active.done || (rule.code >= 0 && rule.code != code))
        return false;
    const int seen = ++active.seen;
    switch (rule.when) {
    case When::Once:
        if (seen <= rule.count)
            return false;
        active.done = true;
        return true;
    case When::Every:
        return rule.count > 0 && seen % rule.count == 0;
    case When::Random:
        return int(active.random() % 100) < rule.count;
    }
    return false;
}

// The rules that hit this answer (or request), each hit counted.
QList<SimAnswerFaults::Rule> SimAnswerFaults::take(quint8 code, bool request)
{
    QList<Rule> taken;
    for (Active &active : m_rules) {
        const Kind kind = active.rule.kind;
        if ((kind == Kind::LoseRequest) != request || !hit(active, code))
            continue;
        ++m_hits[int(kind)];
        taken << active.rule;
        emit faultInjected(kind, code);
    }
    return taken;
}

bool SimAnswerFaults::requestLost(quint8 code)
{
    return !take(code, true).isEmpty();
}

SimAnswerFaults::Decision SimAnswerFaults::decide(quint8 code)
{
    Decision decision;
    for (const Rule &rule : take(code, false)) {
        if (rule.kind == Kind::Lose) {
            decision.lose = true;
        } else if (rule.kind == Kind::Late) {
            decision.lateMs += rule.ms;
        } else {
            decision.twice = true;
            decision.twiceGapMs = rule.ms;
        }
    }
    return decision;
}

void SimAnswerFaults::frameSent()
{
    if (m_dropAfter < 0 || --m_dropAfter > 0)
        return;
    m_dropAfter = -1;
    // After the frame is on its way, not from inside its write.
    QTimer::singleShot(0, this, &SimAnswerFaults::dropLink);
}

void SimAnswerFaults::dropLink()
{
    ++m_linkDrops;
    m_reader->dropTcpClients();
    if (m_reader->bus() && m_reader->bus()->isOpen())
        m_reader->openPty(m_reader->linkPath());
    emit linkDropped();
}

// ------------------------------------------------ control commands

QString SimAnswerFaults::describe(const Rule &rule)
{
    QString what;
    switch (rule.kind) {
    case Kind::Lose:
        what = QStringLiteral("lose");
        break;
    case Kind::Late:
        what = QStringLiteral("late %1 ms").arg(rule.ms);
        break;
    case Kind::Twice:
        what = rule.ms > 0 ? QStringLiteral("twice, the copy %1 ms later").arg(rule.ms) : QStringLiteral("twice");
        break;
    case Kind::LoseRequest:
        what = QStringLiteral("lose the request");
        break;
    }
    QString when;
    switch (rule.when) {
    case When::Once:
        when = QStringLiteral("once after %1").arg(rule.count);
        break;
    case When::Every:
        when = QStringLiteral("every %1").arg(rule.count);
        break;
    case When::Random:
        when = QStringLiteral("random %1% seed %2").arg(rule.count).arg(rule.seed);
        break;
    }
    const QString those = rule.kind == Kind::LoseRequest ? QStringLiteral("request") : QStringLiteral("answer");
    const QString code = rule.code < 0
        ? QStringLiteral("any %1").arg(those)
        : QStringLiteral("%1s %2 %3")
              .arg(those, rule.kind == Kind::LoseRequest ? QStringLiteral("with") : QStringLiteral("to"),
                   QStringLiteral("%1").arg(rule.code, 2, 16, QLatin1Char('0')).toUpper());
    return QStringLiteral("%1, %2, %3").arg(what, when, code);
}

QString SimAnswerFaults::statusText() const
{
    QStringList lines;
    for (const Active &active : m_rules)
        lines << describe(active.rule) + (active.done ? QStringLiteral(" (done)") : QString());
    if (m_dropAfter >= 0)
        lines << QStringLiteral("link drops after %1 more frame(s)").arg(m_dropAfter);
    lines << QStringLiteral("hits: lost %1, late %2, twice %3, requests lost %4, link drops %5")
                 .arg(m_hits[0])
                 .arg(m_hits[1])
                 .arg(m_hits[2])
                 .arg(m_hits[3])
                 .arg(m_linkDrops);
    return lines.join(QLatin1Char('\n'));
}

QString SimAnswerFaults::command(const QStringList &words)
{
    const QString usage = QStringLiteral(
        "usage: answers lose|twice WHEN [code HEX] | answers late MS WHEN [code HEX] | answers twice-gap MS WHEN "
        "[code HEX] | answers drop-link N | answers clear | answers\n"
        "       WHEN: once [K] | every N | random PERCENT SEED");
    const QString sub = words.value(0);
    if (words.isEmpty() || sub == QLatin1String("status"))
        return statusText();
    if (sub == QLatin1String("clear") && words.size() == 1) {
        clear();
        return QStringLiteral("answers go out as they are");
    }
    bool ok = false;
    if (sub == QLatin1String("drop-link") && words.size() == 2) {
        const int frames = words[1].toInt(&ok);
        if (!ok || frames < 1)
            return usage;
        dropLinkAfter(frames);
        return QStringLiteral("the link drops after %1 more frame(s)").arg(frames);
    }

    Rule rule;
    int at = 1;
    if (sub == QLatin1String("lose")) {
        rule.kind = Kind::Lose;
    } else if (sub == QLatin1String("twice")) {
        rule.kind = Kind::Twice;
    } else if (sub == QLatin1String("late") || sub == QLatin1String("twice-gap")) {
        rule.kind = sub == QLatin1String("late") ? Kind::Late : Kind::Twice;
        rule.ms = words.value(1).toInt(&ok);
        if (!ok || rule.ms < 0)
            return usage;
        at = 2;
    } else {
        return usage;
    }
    return addParsed(rule, words, at, usage);
}

QString SimAnswerFaults::requestCommand(const QStringList &words)
{
    const QString usage = QStringLiteral("usage: requests lose WHEN [code HEX] | requests clear | requests\n"
                                         "       WHEN: once [K] | every N | random PERCENT SEED");
    if (words.isEmpty() || words[0] == QLatin1String("status"))
        return statusText();
    if (words[0] == QLatin1String("clear") && words.size() == 1) {
        clear();
        return QStringLiteral("requests and answers go as they are");
    }
    if (words[0] != QLatin1String("lose"))
        return usage;
    Rule rule;
    rule.kind = Kind::LoseRequest;
    return addParsed(rule, words, 1, usage);
}

// Reads "WHEN [code HEX]" from words[at] on into rule and adds it.
QString SimAnswerFaults::addParsed(Rule rule, const QStringList &words, int at, const QString &usage)
{
    bool ok = false;
    const QString when = words.value(at++);
    if (when == QLatin1String("once")) {
        rule.when = When::Once;
        if (at < words.size() && words[at] != QLatin1String("code")) {
            rule.count = words[at++].toInt(&ok);
            if (!ok || rule.count < 0)
                return usage;
        }
    } else if (when == QLatin1String("every")) {
        rule.when = When::Every;
        rule.count = words.value(at++).toInt(&ok);
        if (!ok || rule.count < 1)
            return usage;
    } else if (when == QLatin1String("random")) {
        rule.when = When::Random;
        rule.count = words.value(at++).toInt(&ok);
        if (!ok || rule.count < 0 || rule.count > 100)
            return usage;
        rule.seed = words.value(at++).toUInt(&ok);
        if (!ok)
            return usage;
    } else {
        return usage;
    }
    if (at < words.size()) {
        if (words[at] != QLatin1String("code") || at + 2 != words.size())
            return usage;
        const uint code = words[at + 1].toUInt(&ok, 16);
        if (!ok || code > 0xFF)
            return usage;
        rule.code = int(code);
    }
    add(rule);
    return describe(rule);
}
