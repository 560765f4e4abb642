// Every file the window writes, written where it cannot be written in full:
// under a file-size limit (RLIMIT_FSIZE, the SIGXFSZ it raises ignored) and
// onto a full filesystem (a small tmpfs that the suite mounts in a mount
// namespace of its own). The file that was there before must keep every
// byte, no temporary file may be left beside it, and the user must be told.
//
// Like every suite that builds the window it runs in a network namespace of
// its own; before anything else happens it also takes a mount namespace of
// its own, so that its tmpfs is seen by nobody else.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/simfiles.h"
#include "support/privatenetwork.h"
#include "support/windowfixture.h"
#include "common/safefile.h"
#include "xlsx/workbook.h"

namespace {

QString g_smallDisk; // a tmpfs of 64 KiB

// While it lives, no file of this process grows past 2 KiB, or (fullDisk)
// the small tmpfs has no room left.
class NoRoom
{
public:
    explicit NoRoom(bool fullDisk)
        : m_filler(fullDisk ? g_smallDisk + QStringLiteral("/filler") : QString())
    {
        ::getrlimit(RLIMIT_FSIZE, &m_limit);
        if (m_filler.isEmpty()) {
            rlimit small = m_limit;
            small.rlim_cur = 2048;
            ::setrlimit(RLIMIT_FSIZE, &small);
            return;
        }
        QFile file(m_filler);
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            while (file.write(QByteArray(4096, 'f')) > 0) { }
        }
    }
    ~NoRoom()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_limit);
        if (!m_filler.isEmpty())
            QFile::remove(m_filler);
    }

private:
    QString m_filler;
    rlimit m_limit;
};

enum Writer {
    ConfigDownload,
    PollingWorkbook,
    DeviceList
};

} // namespace

Q_DECLARE_METATYPE(Writer)

class TestFileSaves : public QObject
{
    Q_OBJECT
private slots:
    void failedSaveKeepsTheOldFile_data()
    {
        QTest::addColumn<Writer>("writer");
        QTest::addColumn<bool>("fullDisk");
        QTest::addColumn<QString>("reason");
        const QString tooLarge = QString::fromLocal8Bit(std::strerror(EFBIG));
        const QString noSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));
        QTest::newRow("download, size limit") << ConfigDownload << false << tooLarge;
        QTest::newRow("download, full disk") << ConfigDownload << true << noSpace;
        QTest::newRow("polling, size limit") << PollingWorkbook << false << tooLarge;
        QTest::newRow("polling, full disk") << PollingWorkbook << true << noSpace;
        QTest::newRow("device list, size limit") << DeviceList << false << tooLarge;
        QTest::newRow("device list, full disk") << DeviceList << true << noSpace;
    }
    void failedSaveKeepsTheOldFile()
    {
        QFETCH(Writer, writer);
        QFETCH(bool, fullDisk);
        QFETCH(QString, reason);
        QTemporaryDir ordinary;
        const QString folder = fullDisk ? g_smallDisk : ordinary.path();
        for (const QString &name : QDir(g_smallDisk).entryList(QDir::Files))
            QFile::remove(g_smallDisk + QLatin1Char('/') + name);
        const QString path
            = folder + (writer == ConfigDownload ? QStringLiteral("/saved.json") : QStringLiteral("/saved.xlsx"));
        WindowFixture f;
        MainWindow *w = f.window();
        w->fileChooser = [&](const QString &, const QString &, bool) { return path; };

        // What is there before: a configuration saved earlier, a workbook
        // the window wrote, any file of the chosen name.
        if (writer == PollingWorkbook) {
            f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
            f.widget<QLineEdit>("leOutputXlsFile")->setText(path);
            w->pollingRecordUid(QStringLiteral("04A1B2C3"));
            QVERIFY(QFile::exists(path));
        } else {
            QVERIFY(writeFile(path, QByteArray(300, 'o')));
        }
        const QByteArray before = fileBytes(path);
        QVERIFY(!before.isEmpty());

        if (writer == ConfigDownload) {
            QVERIFY(f.connectSerial());
            f.reader()->files().setFile("config.json", QByteArray(6000, 'c'));
        } else if (writer == DeviceList) {
            for (int i = 1; i <= 200; ++i)
                w->udpMessageReceive(QStringLiteral("Q_R4:Reader-%1:2.38").arg(i), QStringLiteral("10.0.0.%1").arg(i));
        }

        {
            const NoRoom noRoom(fullDisk);
            switch (writer) {
            case ConfigDownload:
                f.click("btDownloadConfig");
                QVERIFY(f.waitForLog("File closed. Size 6000 bytes.", 10000));
                QCOMPARE(f.logCount("Unable to save the file " + QDir::toNativeSeparators(path) + ": " + reason + "\n"),
                         1);
                break;
            case PollingWorkbook:
                w->pollingRecordUid(QStringLiteral("0711223344"));
                QCOMPARE(f.logCount("Unable to save output file " + path), 1);
                QVERIFY(f.logText().contains(reason));
                break;
            case DeviceList:
                QCOMPARE(f.answerMessageBox([&] { f.click("btSaveList"); }),
                         QStringLiteral("Error: Unable to open output file"));
                QCOMPARE(f.logCount("Device list exported to file"), 0);
                break;
            }
        }

        QCOMPARE(fileBytes(path), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList {QFileInfo(path).fileName()});
    }

    // A folder the user may not write in, holding a file the user may: the
    // save cannot put its temporary file beside the file and refuses rather
    // than write the file in place, where a failure would lose it. The save
    // runs in a child process without privilege over files (the suites run
    // as root).
    void unwritableFolder_data()
    {
        QTest::addColumn<bool>("workbook");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<QString>("reason"); // none where it saves
        const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
        QTest::newRow("control: folder writable") << false << 0777 << 0666 << QString();
        QTest::newRow("file writable") << false << 0555 << 0666 << denied;
        QTest::newRow("polling log writable") << true << 0555 << 0666 << denied;
        QTest::newRow("file read-only too") << false << 0555 << 0444 << "Existing file %1 is not writable";
    }
    void unwritableFolder()
    {
        QFETCH(bool, workbook);
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/shared");
        const QString path = folder + (workbook ? QStringLiteral("/log.xlsx") : QStringLiteral("/saved.json"));
        QVERIFY(QDir().mkdir(folder) && ::chmod(QFile::encodeName(dir.path()), 0755) == 0);
        XlsxWorkbook log;
        QVERIFY(workbook ? log.writeText(1, 1, QStringLiteral("04A1B2C3")) && log.saveAs(path)
                         : writeFile(path, QByteArray(300, 'o')));
        QVERIFY(::chmod(QFile::encodeName(path), mode_t(fileMode)) == 0
                && ::chmod(QFile::encodeName(folder), mode_t(folderMode)) == 0);
        const QByteArray before = fileBytes(path);
        int pipe[2];
        QCOMPARE(::pipe(pipe), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // A user namespace that maps no id takes every privilege over
            // files; where there is none, the process becomes nobody.
            if (::unshare(CLONE_NEWUSER) != 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(2);
            QString error;
            XlsxWorkbook book(workbook ? path : QString());
            const bool saved = workbook ? book.writeText(2, 1, QStringLiteral("0711223344")) && book.save(&error)
                                        : writeFileSafely(path, QByteArray(200, 'n'), &error);
            const QByteArray text = error.toUtf8();
            ::_exit(::write(pipe[1], text.constData(), size_t(text.size())) == text.size() && saved ? 0 : 1);
        }
        ::close(pipe[1]);
        QFile said;
        QVERIFY(said.open(pipe[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        const QString error = QString::fromUtf8(said.readAll());
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        if (reason.isNull()) {
            QCOMPARE(error, QString());
            QCOMPARE(status, 0);
            QCOMPARE(fileBytes(path), QByteArray(200, 'n'));
            return;
        }
        QCOMPARE(error,
                 (workbook ? QStringLiteral("cannot save ") : QString()) + path + QStringLiteral(": ")
                     + QString(reason).replace(QStringLiteral("%1"), path));
        QCOMPARE(WEXITSTATUS(status), 1);
        QCOMPARE(fileBytes(path), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList {QFileInfo(path).fileName()});
    }
};

int main(int argc, char **argv)
{
    // A SIGXFSZ would end the suite; the write that meets the limit fails
    // with EFBIG instead, which is what a user's program sees.
    std::signal(SIGXFSZ, SIG_IGN);
    QByteArray where = QDir::tempPath().toLocal8Bit() + "/rx-small-disk-XXXXXX";
    if (!::mkdtemp(where.data())) {
        std::perror("tst_filesaves: mkdtemp");
        return 1;
    }
    std::string why;
    const bool isolated = PrivateNetwork::enterPrivateMounts(&why);
    if (!isolated || ::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
        std::fprintf(stderr, "tst_filesaves: cannot mount a small filesystem of its own (%s); not running\n",
                     isolated ? std::strerror(errno) : why.c_str());
        ::rmdir(where.constData());
        return 1;
    }
    g_smallDisk = QString::fromLocal8Bit(where);

    int result = 0;
    {
        QApplication app(argc, argv);
        TestFileSaves test;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&test, argc, argv);
    }
    ::umount(where.constData());
    ::rmdir(where.constData());
    return result;
}

#include "tst_filesaves.moc"
