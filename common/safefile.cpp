#include "common/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
// The one call of the system's own that Qt does not offer: the owner and
// group of an open file. Declared here rather than through the system
// headers, which would not build elsewhere; uid_t and gid_t are unsigned
// int on every Unix Qt runs on.
extern "C" int fchown(int fd, unsigned int owner, unsigned int group);
#endif

SafeFileWriter::SafeFileWriter(const QString &path)
    : m_file(path)
{
    // Never write into the target directly, even where a temporary file
    // cannot be made beside it: the old content must survive a failure.
    m_file.setDirectWriteFallback(false);
}

SafeFileWriter::~SafeFileWriter()
{
    discard();
}

bool SafeFileWriter::open()
{
    if (m_file.fileName().isEmpty())
        return fail(QStringLiteral("no file name"));
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(m_file.errorString());
    m_open = true;
    keepOwner();
    return true;
}

// The temporary file is the process's own; QSaveFile gives it the old
// file's permissions, and here it gets the old file's group and owner too,
// where the process may set them (a member of the group may set that group,
// only a privileged process another owner). Where it may not, the file
// stays the process's, as any file it creates.
void SafeFileWriter::keepOwner()
{
#ifdef Q_OS_UNIX
    const QFileInfo old(m_file.fileName());
    const int fd = m_file.handle();
    if (!old.exists() || fd < 0)
        return;
    const unsigned int unchanged = ~0u;
    (void)fchown(fd, unchanged, old.groupId());
    (void)fchown(fd, old.ownerId(), unchanged);
#endif
}

bool SafeFileWriter::write(const char *data, qint64 size)
{
    if (!m_open)
        return fail(QStringLiteral("the file is not open for writing"));
    qint64 done = 0;
    while (done < size) {
        const qint64 n = m_file.write(data + done, size - done);
        if (n <= 0) {
            const QString why = m_file.errorString();
            discard();
            return fail(why.isEmpty() ? QStringLiteral("write failed") : why);
        }
        done += n;
    }
    return true;
}

bool SafeFileWriter::commit()
{
    if (!m_open)
        return fail(QStringLiteral("the file is not open for writing"));
    m_open = false;
    if (!m_file.commit())
        return fail(m_file.errorString());
    return true;
}

void SafeFileWriter::discard()
{
    if (m_open)
        m_file.cancelWriting();
    m_open = false;
}

bool SafeFileWriter::fail(const QString &why)
{
    m_error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_file.fileName()), why);
    return false;
}

bool writeFileSafely(const QString &path, const QByteArray &data, QString *error)
{
    SafeFileWriter file(path);
    const bool ok = file.open() && file.write(data) && file.commit();
    if (!ok && error)
        *error = file.errorString();
    return ok;
}

FileContent readWholeFile(const QString &path, qint64 maxBytes)
{
    FileContent content;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        content.error = file.errorString();
        return content;
    }
    content.size = file.size();
    if (!file.isSequential() && content.size > maxBytes) {
        content.status = FileContent::TooLarge;
        return content;
    }
    content.data = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        content.status = FileContent::ReadFailed;
        content.error = file.errorString();
        content.data.clear();
        return content;
    }
    if (content.data.size() > maxBytes) {
        content.status = FileContent::TooLarge;
        content.size = qMax(content.size, qint64(content.data.size()));
        content.data.clear();
        return content;
    }
    content.status = FileContent::Read;
    content.size = content.data.size();
    return content;
}
