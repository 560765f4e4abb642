#pragma once

// What a reader that fights back sends: endless byte streams of one kind,
// for the client to survive with a responsive window and bounded memory.
//
//   answers  positive answers the client only logs (00 06 and a few data
//            bytes), as fast as the link takes them
//   sweep    rounds of 1,024 frames, 0 to 40 random data bytes each: every
//            command code answered positively, with an error and as an
//            event, then every status byte with a random code; the positive
//            answers to Reboot, Factory reset and OTA Begin are left out
//            (each makes the client wait seconds, as it must)
//   random   valid frames of any status, code and length mixed with damaged
//            ones: bad CRC, cut short, lengths that do not match their
//            inverse or exceed the largest body, and loose random bytes
//   log      device log lines of the largest size, with colour codes and
//            markup in them
//   large    positive answers to a file read (FREAD) of 2 KB each, as a
//            reader sends that reads out a file nobody asked for
//
// A Source is plain data, usable on any thread.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <random>

namespace SimFlood {

enum class Kind {
    Answers,
    Sweep,
    Random,
    Log,
    Large
};

bool parseKind(const QString &name, Kind *kind);
QStringList kindNames();

class Source
{
public:
    explicit Source(Kind kind, quint32 seed = 1, quint8 address = 0);

    // The next piece of the stream: whole frames (or, for random, whatever
    // comes) adding up to at least size bytes.
    QByteArray next(int size = 4096);

    quint64 frames() const { return m_frames; }

private:
    void appendOne(QByteArray *out);
    QByteArray randomBytes(int count);

    Kind m_kind;
    quint8 m_address;
    std::mt19937 m_random;
    quint32 m_sweep = 0; // sweep frames so far
    quint64 m_frames = 0;
};

} // namespace SimFlood
