// The workflow soak, short and seeded: each of the four transfers over the
// pty and over TCP, every run with faults on the reader's answers and
// requests, every class of faults at least once.
// No run may end in a success the reader's data contradicts. The long soak,
// with its figures, is bench/bench_workflowsoak; RX_WORKFLOW_SOAK_RUNS and
// RX_WORKFLOW_SOAK_SEED change the number of runs and the seed here.
#include <QtTest>

#include "support/windowfixture.h"
#include "support/workflowsoak.h"

class TestWorkflowSoak : public QObject
{
    Q_OBJECT
private slots:
    void noSilentCorruption()
    {
        bool ok = false;
        const int runs = qEnvironmentVariableIntValue("RX_WORKFLOW_SOAK_RUNS", &ok);
        const quint32 seed = quint32(qEnvironmentVariableIntValue("RX_WORKFLOW_SOAK_SEED"));
        WindowFixture f;
        WorkflowSoak soak(f, seed == 0 ? 12 : seed);
        QString problem;
        QVERIFY2(soak.run(ok && runs > 0 ? runs : 8, &problem), qPrintable(problem));
        for (const QString &line : soak.figures.text(seed == 0 ? 12 : seed).split('\n'))
            qInfo("%s", qPrintable(line));
        QCOMPARE(soak.figures.n[WorkflowSoakFigures::Corrupt], 0);
        QCOMPARE(soak.figures.n[WorkflowSoakFigures::NoVerdict], 0);
        QVERIFY(soak.figures.n[WorkflowSoakFigures::Verified] > 0);
        for (const auto &byClass : soak.figures.byClass)
            QVERIFY(byClass[0] > 0);
    }
};

QTEST_MAIN(TestWorkflowSoak)
#include "tst_workflowsoak.moc"
