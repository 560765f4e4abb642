#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>

// Replaces a file in one step: the new content goes to a temporary file
// beside it, every write is checked as it happens (nothing is buffered, so a
// full disk or a file-size limit is seen at the write that meets it), and
// only a complete file is renamed over the old one. A failure leaves the old
// file as it was and says why. The new file keeps the old one's permissions,
// and its owner and group where the process may set them.
class SafeFileWriter
{
public:
    explicit SafeFileWriter(const QString &path);
    ~SafeFileWriter(); // an uncommitted file is discarded

    bool open();
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &data) { return write(data.constData(), data.size()); }
    bool commit();
    void discard();

    // The reason of the last failure, naming the file.
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &why);
    void keepOwner();

    QSaveFile m_file;
    QString m_error;
    bool m_open = false;
};

// The whole of data as the new content of path; false with the reason in
// *error when it could not be written in full.
bool writeFileSafely(const QString &path, const QByteArray &data, QString *error);

// A whole file the user chose to send (a firmware image, a configuration),
// read only when it is no larger than maxBytes: a larger one is not read at
// all (nor more of a file that does not say its size than maxBytes + 1).
struct FileContent
{
    enum Status {
        Read,
        CannotOpen,
        TooLarge,
        ReadFailed
    };
    Status status = CannotOpen;
    QByteArray data; // when Read
    qint64 size = 0; // the file's size as far as known
    QString error; // the system's reason when it cannot be opened or read
};
FileContent readWholeFile(const QString &path, qint64 maxBytes);
