#pragma once

// Faults on what the simulated reader says, after it has done what it was
// asked: the request always takes effect, only its answer goes wrong.
//
//   lose    the answer is not sent
//   late    the answer goes out MS ms later; the answers behind it wait
//           for it, as they would behind a reader busy with a slow request
//   twice   the answer goes out a second time, MS ms after the first went
//           (0: right behind it); the second copy holds nothing up
//
// And one fault on what it hears: a lost request (LoseRequest) never reaches
// the reader, which neither acts on it nor answers it. It is decided when
// the request arrives, before anything else sees it (requestReceived is not
// emitted, receivedPayloads() does not list it).
//
// A rule picks the answers (or requests) it hits among the answers to one
// command code, or the requests with it (or among all of them):
//   once [K]          the one after K matching ones (K = 0: the next one)
//   every N           every Nth matching one
//   random P SEED     each matching one with a chance of P per cent, drawn
//                     from a sequence seeded with SEED (the same every time)
//
// Besides: the link drops after the reader has sent N more frames (every TCP
// connection is closed; the pty is closed and a new one comes up at the same
// link, as a cable pulled and plugged back). Unsolicited answers go out with
// SimReader::sendFrame.

#include <QList>
#include <QObject>
#include <QStringList>

#include <random>

class SimReader;

class SimAnswerFaults : public QObject
{
    Q_OBJECT
public:
    enum class Kind {
        Lose,
        Late,
        Twice,
        LoseRequest
    };
    enum class When {
        Once,
        Every,
        Random
    };
    struct Rule
    {
        Kind kind = Kind::Lose;
        When when = When::Once;
        int count = 0; // Once: matching ones let through first; Every: N; Random: per cent
        quint32 seed = 0;
        int code = -1; // -1: answers to any command
        int ms = 0; // Late: the delay; Twice: the gap before the copy
    };
    // What becomes of one answer.
    struct Decision
    {
        bool lose = false;
        int lateMs = 0;
        bool twice = false;
        int twiceGapMs = 0;
    };

    explicit SimAnswerFaults(SimReader *reader);
    static SimAnswerFaults *of(SimReader *reader);

    void add(const Rule &rule);
    void clear(); // the rules and the link drop
    bool isEmpty() const { return m_rules.isEmpty() && m_dropAfter < 0; }
    // The link drops after frames more frames; < 0: never.
    void dropLinkAfter(int frames) { m_dropAfter = frames; }

    // Called by the reader for every request that reaches it (true: it is
    // lost), for every answer (command code answered) and for every frame it
    // has written.
    bool requestLost(quint8 code);
    Decision decide(quint8 code);
    void frameSent();

    int hits(Kind kind) const { return m_hits[int(kind)]; }
    int linkDrops() const { return m_linkDrops; }

    // A control command of rx-reader-sim ("answers ..." or "requests ..."
    // without the first word); returns the text to show.
    QString command(const QStringList &words);
    QString requestCommand(const QStringList &words);
    // A rule in words, as the control commands show it.
    static QString describe(const Rule &rule);

signals:
    void faultInjected(SimAnswerFaults::Kind kind, quint8 code);
    void linkDropped();

private:
    struct Active
    {
        Rule rule;
        int seen = 0;
        bool done = false;
        std::mt19937 random;
    };
    QList<Rule> take(quint8 code, bool request);
    bool hit(Active &active, quint8 code);
    void dropLink();
    QString statusText() const;
    QString addParsed(Rule rule, const QStringList &words, int at, const QString &usage);

    SimReader *m_reader;
    QList<Active> m_rules;
    int m_dropAfter = -1;
    int m_hits[4] = {0, 0, 0, 0};
    int m_linkDrops = 0;
};
