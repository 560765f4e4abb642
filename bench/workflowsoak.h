#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <random>

class WindowFixture;

// The workflow soak: the four transfers of the window (reader firmware, RFID
// chip firmware, config.json upload and download) from the real window
// against the simulated reader, over the pty and over TCP in turn, each run
// of one class of faults, placed at random from a seed:
//   single                one to three faults: an answer lost after the reader
//                         acted on its request, an answer past the client's
//                         timer, an answer twice, an answer nobody asked for,
//                         the link dropping;
//   doubled+lost-request  one answer of the transfer's repeated step (OTA
//                         frame, PN OTA frame, FWRITE, FREAD) twice 1-5 ms
//                         apart, and a later request of that step lost;
//   around-eof            (wherever a file is read) an FREAD after the end of
//                         the file answered with an error, and an FREAD answer
//                         with data nobody asked for just before or just
//                         after the reader's answer at the end;
//   errors                an error answer at a random step.
// A run's verdict compares what the reader holds (or the file the client
// saved) with the source: verified-complete when the client reported success
// and they are byte-identical, reported-failed when the client said it
// failed, silently-corrupt when it reported success and they differ.
struct WorkflowSoakFigures
{
    enum Workflow {
        Firmware,
        Chip,
        Upload,
        Download,
    };
    enum RunClass {
        Single,
        DoubledLostRequest,
        AroundEof,
        Errors,
        ClassCount
    };
    enum Counter {
        FirmwareRuns, // runs with at least one fault injected, by workflow (as Workflow)
        ChipRuns,
        UploadRuns,
        DownloadRuns,
        Runs,
        Unfaulted, // runs that ended before a planned fault came due
        SerialRuns,
        TcpRuns,
        Lost, // faults injected, by kind; the first four as SimAnswerFaults::Kind
        Late,
        Twice,
        LostRequests,
        Unsolicited,
        LinkDrops,
        ErrorAnswers,
        ReadsPastEnd, // FREADs after the end answered with an error
        Verified,
        Failed,
        Corrupt,
        NoVerdict, // ended with neither success nor a failure reported
        StartsOver, // transfers the client started over
        CounterCount
    };
    int n[CounterCount] = {};
    // By class: [0] runs with a fault, [1 + verdict - Verified] each verdict.
    int byClass[ClassCount][5] = {};
    double seconds = 0;

    int faults() const;
    void add(const WorkflowSoakFigures &other);
    // One line of numbers, and back (for soaks run in several processes).
    QString line() const;
    static WorkflowSoakFigures fromLine(const QString &line);
    QString text(quint32 seed) const;
};

class WorkflowSoak
{
public:
    WorkflowSoak(WindowFixture &fixture, quint32 seed);

    // Goes on until `runs` runs had a fault. False, with the reason, when a
    // run hangs or the window cannot reach the reader any more.
    bool run(int runs, QString *problem);

    WorkflowSoakFigures figures;

private:
    struct Answers;
    struct Plan;
    bool runOnce(int index, QString *problem);
    bool ensureLink(bool serial, QString *problem);
    void planSingle(const QList<Answers> &answers, Plan &plan);
    int between(int lo, int hi) { return lo + int(m_rng() % uint32_t(hi - lo + 1)); }

    WindowFixture &f;
    quint32 m_seed;
    std::mt19937 m_rng;
    QTemporaryDir m_dir;
};
