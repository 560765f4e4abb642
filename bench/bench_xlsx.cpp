// The polling log at every size a sheet can have:
//  1. the time to append one row (load, write date, time and UID, save, as
//     the row writer does) to logs of 100 up to 1,048,575 rows, beside
//     openpyxl doing the same load-append-save on copies of the same files
//     where one round finishes within a minute;
//  2. the longest the main window's event loop waits while polling the
//     simulated reader as fast as it answers into a 100,000-row log.
// Builds a MainWindow: run it inside a private network namespace
// (scripts/bench does). Needs /usr/bin/python3 with openpyxl.
// Usage: bench_xlsx [rounds]
#include <QApplication>
#include <QCheckBox>
#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "sim/simtags.h"
#include "support/windowfixture.h"
#include "xlsx/workbook.h"

namespace {

// "append PATH ROUNDS SECONDS": load-append-save cycles until ROUNDS are
// done or SECONDS have passed; prints the median milliseconds per cycle.
const char *const Openpyxl = R"PY(
import datetime, json, statistics, sys, time
import openpyxl
path, rounds, budget = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
times = []
start = time.perf_counter()
while len(times) < rounds and (not times or time.perf_counter() - start < budget):
    t = time.perf_counter()
    wb = openpyxl.load_workbook(path)
    ws = wb["Sheet1"] if "Sheet1" in wb.sheetnames else wb.active
    row = ws.max_row + 1
    ws.cell(row=row, column=1, value=datetime.date.today()).number_format = "mm-dd-yy"
    ws.cell(row=row, column=2, value=datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3])
    ws.cell(row=row, column=3, value="04A12F33445566")
    wb.save(path)
    times.append((time.perf_counter() - t) * 1000.0)
print(json.dumps({"median": statistics.median(times), "rounds": len(times)}))
)PY";

constexpr int OpenpyxlSeconds = 60;

// openpyxl's median over its rounds, or -1 when a round does not finish
// within the minute.
double openpyxlAppend(const QString &path, int rounds, int *done)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QString::fromUtf8(Openpyxl), path, QString::number(rounds),
             QString::number(OpenpyxlSeconds)});
    if (!p.waitForFinished((2 * OpenpyxlSeconds + 10) * 1000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "python3/openpyxl failed: %s\n", p.readAllStandardError().constData());
        std::exit(1);
    }
    const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    *done = o.value(QStringLiteral("rounds")).toInt();
    return o.value(QStringLiteral("median")).toDouble();
}

QString uidOf(int i)
{
    // A polling log sees the same few tags again and again.
    return QStringLiteral("04%1")
        .arg(quint64(i % 53) * 0x9E3779B1ull % 0xFFFFFFFFFFFull, 12, 16, QLatin1Char('0'))
        .toUpper();
}

bool writeRow(XlsxWorkbook &book, int row, const QDate &date, const QString &time, const QString &uid)
{
    return book.writeDate(row, 1, date) && book.writeText(row, 2, time) && book.writeText(row, 3, uid);
}

// A log of `rows` rows in all, header included, written by the layer in
// batches as a long polling session would have saved it.
bool makeLog(const QString &path, int rows)
{
    constexpr int Batch = 50000;
    for (int first = 1; first <= rows; first += Batch) {
        XlsxWorkbook book(path);
        if (book.loadFailed())
            return false;
        for (int row = first; row < first + Batch && row <= rows; ++row) {
            const bool ok = row == 1
                ? book.writeText(1, 1, QStringLiteral("Date")) && book.writeText(1, 2, QStringLiteral("Time"))
                    && book.writeText(1, 3, QStringLiteral("UID"))
                : writeRow(book, row, QDate(2024, 3, 1).addDays(row / 20000),
                           QTime(0, 0).addMSecs(row * 347 % 86400000).toString(QStringLiteral("hh:mm:ss.zzz")),
                           uidOf(row));
            if (!ok)
                return false;
        }
        if (!book.save())
            return false;
    }
    return true;
}

// One row the way the polling log appends it.
bool appendRow(const QString &path)
{
    XlsxWorkbook book(path);
    if (book.loadFailed())
        return false;
    if (book.sheetNames().contains(QStringLiteral("Sheet1")))
        book.selectSheet(0);
    const int row = book.lastUsedRow() + 1;
    return row <= XlsxWorkbook::MaxRows
        && writeRow(book, row, QDate::currentDate(), QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")),
                    QStringLiteral("04A12F33445566"))
        && book.save();
}

int lastRowOf(const QString &path)
{
    XlsxWorkbook book(path);
    book.selectSheet(0);
    return book.lastUsedRow();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool copyFresh(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

// Runs the event loop until cond holds or timeoutMs pass.
bool spin(const std::function<bool()> &cond, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// Polls the simulated reader with a tag on its antenna, at the shortest
// interval, into a copy of log until `rows` rows more are written; reports
// the longest time between two passes of the event loop.
bool guiGap(const QString &log, int rows)
{
    WindowFixture f;
    if (!f.connectSerial()) {
        std::fprintf(stderr, "the window does not connect to the simulated reader\n");
        return false;
    }
    const int before = lastRowOf(log);
    f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
    f.widget<QLineEdit>("leOutputXlsFile")->setText(log);
    f.widget<QSpinBox>("sbPollingTimeout")->setValue(1);
    f.reader()->tagField().placeTag(SimTag::classic(QByteArray::fromHex("04A12F33445566")));

    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed(), worst = 0;
    std::vector<double> gaps;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worst = std::max(worst, now - last);
        gaps.push_back((now - last) / 1e6);
        last = now;
    });
    tick.start(0);
    // UIDs found, counted as their answers arrive (not from the log, which
    // would be read between the passes measured).
    int found = 0;
    QObject::connect(&f.window()->protocol, &BinaryProtocol::frameComplete,
                     [&](uint8_t *, size_t, uint8_t *body, size_t length) {
                         found += length >= 2 && body[0] == 0x00 && body[1] == 0x03;
                     });
    f.click(QStringLiteral("btStartPolling"));
    last = clock.nsecsElapsed();
    const qint64 started = last;
    const bool done = spin([&] { return found >= rows; }, 120000);
    const double seconds = (clock.nsecsElapsed() - started) / 1e9;
    f.click(QStringLiteral("btStopPolling"));
    tick.stop();
    spin([] { return false; }, 300); // the request in flight, if any, is answered
    const int written = lastRowOf(log) - before;
    if (!done || written < rows) {
        std::fprintf(stderr, "polling wrote %d of %d rows\n", written, rows);
        return false;
    }
    const auto frames = std::count_if(gaps.begin(), gaps.end(), [](double ms) { return ms > 16.7; });
    std::printf("polling into a %d-row log: %d rows in %.1f s (%.0f rows/s); the event loop waits %.1f ms at "
                "most, %d times longer than a frame (16.7 ms)\n",
                before, written, seconds, written / seconds, worst / 1e6, int(frames));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    std::printf("append one row: load, write, save (median of %d rounds; openpyxl: rounds within a minute)\n", rounds);
    std::printf("%9s %10s %10s %10s %18s %8s\n", "rows", "file KiB", "layer ms", "worst ms", "openpyxl ms (n)",
                "ratio");
    double openpyxlEstimate = 0;
    for (int rows : {100, 1000, 10000, 100000, 1048575}) {
        const QString source = dir.filePath(QStringLiteral("log%1.xlsx").arg(rows));
        const QString ours = dir.filePath(QStringLiteral("ours.xlsx"));
        const QString theirs = dir.filePath(QStringLiteral("theirs.xlsx"));
        if (!makeLog(source, rows) || lastRowOf(source) != rows) {
            std::fprintf(stderr, "the %d-row log could not be made\n", rows);
            return 1;
        }
        // The last row a sheet holds can be appended only once per copy.
        const bool full = rows + 1 == XlsxWorkbook::MaxRows;
        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) {
            if ((i == 0 || full) && !copyFresh(source, ours))
                return 1;
            QElapsedTimer t;
            t.start();
            if (!appendRow(ours)) {
                std::fprintf(stderr, "append to %s failed\n", qPrintable(ours));
                return 1;
            }
            times.push_back(t.nsecsElapsed() / 1e6);
        }
        const int expected = full ? XlsxWorkbook::MaxRows : rows + rounds;
        if (lastRowOf(ours) != expected) {
            std::fprintf(stderr, "%s has %d rows, expected %d\n", qPrintable(ours), lastRowOf(ours), expected);
            return 1;
        }

        QString openpyxl;
        double ratio = 0;
        if (openpyxlEstimate > OpenpyxlSeconds * 1000.0) {
            openpyxl = QStringLiteral("not run, ~%1 s").arg(openpyxlEstimate / 1000.0, 0, 'f', 0);
        } else {
            int done = 0;
            const double ms = copyFresh(source, theirs) ? openpyxlAppend(theirs, full ? 1 : rounds, &done) : -1;
            openpyxl = ms < 0 ? QStringLiteral("> %1 s").arg(OpenpyxlSeconds)
                              : QStringLiteral("%1 (%2)").arg(ms, 0, 'f', 1).arg(done);
            ratio = ms / median(times);
            openpyxlEstimate = ms < 0 ? 1e9 : ms * 10.5; // openpyxl's time grows with the rows
        }
        const QString ratioText = ratio > 0 ? QStringLiteral("%1x").arg(ratio, 0, 'f', 0) : QStringLiteral("-");
        std::printf("%9d %10lld %10.2f %10.2f %18s %8s\n", rows, QFileInfo(source).size() / 1024, median(times),
                    *std::max_element(times.begin(), times.end()), qPrintable(openpyxl), qPrintable(ratioText));
        std::fflush(stdout);
    }

    const QString log = dir.filePath(QStringLiteral("polled.xlsx"));
    if (!copyFresh(dir.filePath(QStringLiteral("log100000.xlsx")), log) || !guiGap(log, 300))
        return 1;
    return 0;
}
