#pragma once

// The reader's list of known tags (a tag on it raises the "known tag" event,
// any other the "unknown tag" one) and the "Known list" command 18 that reads
// and writes it. An entry is the bracket byte (the second byte of the tag's
// Get UID answer) followed by the UID.
//
//   18 00           -> 00 18 entry    start reading: the first entry
//   18 01           -> 00 18 entry    the next entry
//   reading past the last entry       -> 00 18 00 (after 18 00) or 00 18 01
//                                        (after 18 01): the end of the list
//   18 02           -> 00 18 02       start writing: the list is emptied
//   18 03 entry     -> 00 18 03       append one entry
//
// An entry answer always carries more than one data byte, so it cannot be
// taken for one of the short answers. Reading and writing end when the other
// one starts and at a restart; the list itself lives on across restarts and
// is emptied by a factory reset.
//
// Error numbers (FF 18 hi lo):
//   0301  no sub-command, or an entry to store that is not a bracket byte and
//         a UID of 4 to 10 bytes
//   0302  unknown sub-command
//   0303  18 01 while no reading is going on, 18 03 while no writing is
//   0304  the list is full (kMaxEntries)

#include <QByteArray>
#include <QList>
#include <QObject>

#include "link/commandcodes.h"

class SimReader;
class SimRequest;

class SimKnownTags : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 kCmdKnownList = Command::KnownList;
    static constexpr quint8 kSubReadFirst = 0x00;
    static constexpr quint8 kSubReadNext = 0x01;
    static constexpr quint8 kSubWriteStart = 0x02;
    static constexpr quint8 kSubWriteEntry = 0x03;

    static constexpr int kMinUidSize = 4;
    static constexpr int kMaxUidSize = 10;
    static constexpr int kMaxEntries = 100;

    static constexpr quint16 kErrorParams = 0x0301;
    static constexpr quint16 kErrorSubCommand = 0x0302;
    static constexpr quint16 kErrorSequence = 0x0303;
    static constexpr quint16 kErrorFull = 0x0304;

    // Registers the Known list command on reader.
    explicit SimKnownTags(SimReader *reader);

    static QByteArray entry(quint8 bracket, const QByteArray &uid);

    // Entries in list order, each the bracket byte and the UID.
    QList<QByteArray> entries() const { return m_entries; }
    int count() const { return m_entries.size(); }
    void setEntries(const QList<QByteArray> &entries);
    void addEntry(quint8 bracket, const QByteArray &uid);
    void clear();

    // Ends any reading or writing, as a restart does.
    void endSession() { m_session = None; }

signals:
    void changed();

private:
    enum Session {
        None,
        Reading,
        Writing
    };
    void knownList(SimRequest &req);
    void answerEntry(SimRequest &req, quint8 sub);

    QList<QByteArray> m_entries;
    Session m_session = None;
    int m_readPosition = 0;
};
