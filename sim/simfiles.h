#pragma once

// The simulated reader's small file system and the file commands:
//   E0 FOPEN, mode name      -> 00 E0      mode 00 read, 01 write; name 1 to 32
//                                          bytes, no terminator (trailing zero
//                                          bytes are ignored)
//   E1 FREAD                 -> 00 E1 data the next piece of the file, at most
//                                          readChunkSize() bytes; no data at the
//                                          end of the file (and on every FREAD
//                                          after it, unless setErrorAfterEnd:
//                                          then error 0207)
//   E2 FWRITE data (0..N)    -> 00 E2      appends data
//   E3 FCLOSE                -> 00 E3      a file opened for writing takes its
//                                          new content now
//
// One file is open at a time. FOPEN while a file is open drops that one (a
// write not yet closed is lost, the file keeps its old content) and opens the
// new one, so a repeated FOPEN after a lost answer simply starts over.
// Opening for writing empties the file: what is written up to FCLOSE is its
// whole new content; the old content stays visible until then. A file opened
// for reading is read as it was when opened. A restart of the reader closes
// the open file the same way.
//
// "config.json" is there from the start: the R4 document unless another one
// is chosen (setConfigDocument, setDefaultConfig). A factory reset brings
// the file system back to that state: the default config.json and nothing
// else.
//
// Error numbers (FF code hi lo):
//   0201  FOPEN without mode, or a name that is empty or longer than 32 bytes
//   0202  FOPEN with a mode other than 00 and 01
//   0203  FOPEN for reading a file that does not exist
//   0204  FREAD, FWRITE or FCLOSE while no file is open
//   0205  FREAD on a file open for writing, FWRITE on one open for reading
//   0206  FWRITE beyond the largest file size (kMaxFileSize)
//   0207  FREAD after the empty answer at the end of the file, with
//         setErrorAfterEnd(true) (off at start)

#include <QByteArray>
#include <QMap>
#include <QObject>

#include "link/commandcodes.h"

class SimReader;
class SimRequest;

class SimFileSystem : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 kCmdOpen = Command::FileOpen;
    static constexpr quint8 kCmdRead = Command::FileRead;
    static constexpr quint8 kCmdWrite = Command::FileWrite;
    static constexpr quint8 kCmdClose = Command::FileClose;
    static constexpr quint8 kModeRead = 0x00;
    static constexpr quint8 kModeWrite = 0x01;

    static constexpr int kMaxNameLength = 32;
    static constexpr int kDefaultChunkSize = 100;
    static constexpr int kMaxFileSize = 64 * 1024;

    static constexpr quint16 kErrorOpenParams = 0x0201;
    static constexpr quint16 kErrorOpenMode = 0x0202;
    static constexpr quint16 kErrorNoSuchFile = 0x0203;
    static constexpr quint16 kErrorNotOpen = 0x0204;
    static constexpr quint16 kErrorWrongMode = 0x0205;
    static constexpr quint16 kErrorFileTooLarge = 0x0206;
    static constexpr quint16 kErrorReadPastEnd = 0x0207;

    static const char *const kConfigName; // "config.json"

    enum ConfigKind {
        ConfigR4,
        ConfigR5
    };
    // The factory configuration document of a hardware generation (R4:
    // hardware version 4, R5: 12) as UTF-8 JSON text.
    static QByteArray configDocument(ConfigKind kind);

    // Registers the file commands on reader.
    explicit SimFileSystem(SimReader *reader);

    // --- files, by name as the FOPEN request carries it
    QMap<QByteArray, QByteArray> files() const { return m_files; }
    bool hasFile(const QByteArray &name) const { return m_files.contains(name); }
    QByteArray file(const QByteArray &name) const { return m_files.value(name); }
    void setFile(const QByteArray &name, const QByteArray &content);
    bool removeFile(const QByteArray &name);
    QByteArray configFile() const { return file(kConfigName); }

    // --- the factory state
    // Makes the document of kind the default and puts it into config.json.
    void setConfigDocument(ConfigKind kind);
    // The same with any content (not checked: a broken document is allowed).
    void setDefaultConfig(const QByteArray &content);
    QByteArray defaultConfig() const { return m_defaultConfig; }
    // Back to the factory state: the default config.json alone. Closes the
    // open file.
    void restoreDefaults();

    // --- reading and the open file
    // Largest piece of a file in one FREAD answer (1 to 2000 bytes).
    void setReadChunkSize(int bytes);
    int readChunkSize() const { return m_chunkSize; }
    // Once a file open for reading has given its empty answer at the end,
    // every further FREAD on it is answered with error 0207 instead of
    // another empty answer.
    void setErrorAfterEnd(bool on) { m_errorAfterEnd = on; }
    bool errorAfterEnd() const { return m_errorAfterEnd; }
    // The next FREAD gets the empty answer at the end of the open file.
    bool nextReadIsEnd() const
    {
        return m_open && m_openMode == kModeRead && m_position >= m_openContent.size()
            && !(m_errorAfterEnd && m_endGiven);
    }
    // FREADs answered with error 0207 so far.
    int readsPastEnd() const { return m_readsPastEnd; }
    bool isFileOpen() const { return m_open; }
    QByteArray openFileName() const { return m_open ? m_openName : QByteArray(); }
    bool isOpenForWriting() const { return m_open && m_openMode == kModeWrite; }
    // Drops the open file as a restart does.
    void closeOpenFile();

signals:
    // A file opened for writing was closed; content is its new content.
    void fileWritten(const QByteArray &name, const QByteArray &content);
    void changed();

private:
    void open(SimRequest &req);
    void read(SimRequest &req);
    void write(SimRequest &req);
    void close(SimRequest &req);

    QMap<QByteArray, QByteArray> m_files;
    QByteArray m_defaultConfig;
    int m_chunkSize = kDefaultChunkSize;

    bool m_open = false;
    QByteArray m_openName;
    quint8 m_openMode = kModeRead;
    QByteArray m_openContent; // reading: the file as opened; writing: what came so far
    int m_position = 0; // reading only
    bool m_endGiven = false; // reading: the empty answer at the end went out
    bool m_errorAfterEnd = false;
    int m_readsPastEnd = 0;
};
