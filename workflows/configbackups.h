#pragma once

#include <QByteArray>
#include <QString>

class ReaderLink;

// Before anything changes what a reader holds (a configuration upload, a
// firmware or chip update), its config.json is read, by the same verified
// download as every other, and kept in a folder of that reader's below a
// root folder: the last Kept of them, each named by the reader's link and
// the time.
class ConfigBackups
{
public:
    static constexpr int Kept = 20; // per reader

    // RX_BACKUP_DIR, else rx-client/backups in the user's data directory.
    static QString defaultRoot();
    // The reader's link as a folder name: the port (with the RS485 address)
    // or the host and port it is connected to.
    static QString linkName(const ReaderLink &link);
    static QString folder(const QString &root, const QString &linkName);
    // Saves document as the newest backup of the reader; its path, or empty
    // with error set.
    static QString save(const QString &root, const QString &linkName, const QByteArray &document, QString *error);
};
