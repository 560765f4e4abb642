// Time to append one polling-log row (load, write date, time and UID, save)
// to workbooks of 100, 1,000 and 10,000 rows: our workbook layer beside
// openpyxl doing the same load-append-save on copies of the same files.
// Usage: bench_xlsx [rounds]   (needs /usr/bin/python3 with openpyxl)
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTime>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "xlsx/workbook.h"

namespace {

// "make PATH ROWS": a polling log of ROWS rows below the header.
// "append PATH ROUNDS": ROUNDS load-append-save cycles; prints the median
// milliseconds per cycle as JSON.
const char *const Openpyxl = R"PY(
import datetime, json, statistics, sys, time
import openpyxl
cmd, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
if cmd == "make":
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.append(["Date", "Time", "UID"])
    day = datetime.datetime(2024, 3, 1)
    for i in range(n):
        ws.append([day, "12:%02d:%02d.%03d" % (i // 60 % 60, i % 60, i % 1000), "04A1%010X" % i])
        ws.cell(row=ws.max_row, column=1).number_format = "mm-dd-yy"
    wb.save(path)
elif cmd == "append":
    times = []
    for i in range(n):
        t = time.perf_counter()
        wb = openpyxl.load_workbook(path)
        ws = wb["Sheet1"] if "Sheet1" in wb.sheetnames else wb.active
        row = ws.max_row + 1
        ws.cell(row=row, column=1, value=datetime.date.today()).number_format = "mm-dd-yy"
        ws.cell(row=row, column=2, value=datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3])
        ws.cell(row=row, column=3, value="04A12F33445566")
        wb.save(path)
        times.append((time.perf_counter() - t) * 1000.0)
    print(json.dumps({"median": statistics.median(times)}))
)PY";

QByteArray python(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList {QStringLiteral("-c"), QString::fromUtf8(Openpyxl)} + args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "python3/openpyxl failed: %s\n", p.readAllStandardError().constData());
        std::exit(1);
    }
    return p.readAllStandardOutput();
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
    return book.writeDate(row, 1, QDate::currentDate())
        && book.writeText(row, 2, QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")))
        && book.writeText(row, 3, QStringLiteral("04A12F33445566")) && book.save();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    std::printf("append one row: load, write, save (median of %d rounds)\n", rounds);
    std::printf("%8s %14s %14s %8s\n", "rows", "layer ms", "openpyxl ms", "ratio");
    for (int rows : {100, 1000, 10000}) {
        const QString source = dir.filePath(QStringLiteral("log%1.xlsx").arg(rows));
        const QString ours = dir.filePath(QStringLiteral("ours%1.xlsx").arg(rows));
        const QString theirs = dir.filePath(QStringLiteral("theirs%1.xlsx").arg(rows));
        python({QStringLiteral("make"), source, QString::number(rows)});
        if (!QFile::copy(source, ours) || !QFile::copy(source, theirs))
            return 1;

        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) {
            QElapsedTimer t;
            t.start();
            if (!appendRow(ours)) {
                std::fprintf(stderr, "append to %s failed\n", qPrintable(ours));
                return 1;
            }
            times.push_back(t.nsecsElapsed() / 1e6);
        }
        XlsxWorkbook check(ours);
        check.selectSheet(0);
        if (check.lastUsedRow() != rows + 1 + rounds) {
            std::fprintf(stderr, "%s has %d rows, expected %d\n", qPrintable(ours), check.lastUsedRow(),
                         rows + 1 + rounds);
            return 1;
        }

        const QJsonObject py
            = QJsonDocument::fromJson(python({QStringLiteral("append"), theirs, QString::number(rounds)})).object();
        const double layerMs = median(times);
        const double openpyxlMs = py.value(QStringLiteral("median")).toDouble();
        std::printf("%8d %14.2f %14.2f %7.1fx\n", rows, layerMs, openpyxlMs, openpyxlMs / layerMs);
    }
    return 0;
}
