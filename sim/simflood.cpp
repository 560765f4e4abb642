#include "sim/simflood.h"

#include "sim/simcodec.h"

namespace SimFlood {

namespace {

const char *const kNames[] = {"answers", "sweep", "random", "log", "large"};

bool leftOutOfSweep(quint8 status, quint8 code)
{
    return status == 0x00 && (code == 0x0A || code == 0x11 || code == 0xF0);
}

} // namespace

bool parseKind(const QString &name, Kind *kind)
{
    for (int i = 0; i < int(sizeof kNames / sizeof *kNames); ++i) {
        if (name == QLatin1String(kNames[i])) {
            *kind = Kind(i);
            return true;
        }
    }
    return false;
}

QStringList kindNames()
{
    QStringList names;
    for (const char *name : kNames)
        names << QLatin1String(name);
    return names;
}

Source::Source(Kind kind, quint32 seed, quint8 address)
    : m_kind(kind)
    , m_address(address)
    , m_random(seed)
{ }

QByteArray Source::randomBytes(int count)
{
    QByteArray bytes(count, '\0');
    for (char &b : bytes)
        b = char(m_random() & 0xFF);
    return bytes;
}

QByteArray Source::next(int size)
{
    QByteArray out;
    out.reserve(size + SimCodec::kHeaderSize + SimCodec::kMaxBody);
    while (out.size() < size)
        appendOne(&out);
    return out;
}

void Source::appendOne(QByteArray *out)
{
    ++m_frames;
    const int maxData = SimCodec::kMaxBody - 2 - (m_address ? 1 : 0) - 2; // status and code
    switch (m_kind) {
    case Kind::Answers: {
        QByteArray payload("\x00\x06", 2);
        payload += randomBytes(int(m_random() % 8));
        out->append(SimCodec::buildFrame(m_address, payload));
        return;
    }
    case Kind::Sweep: {
        // A round of 1,024 frames: every code as a positive answer, an
        // error and an event, then every status byte with a random code.
        quint8 status;
        quint8 code;
        do {
            const quint32 step = m_sweep++ % 1024;
            static const quint8 statuses[] = {0x00, 0xFF, 0xFE};
            status = step < 768 ? statuses[step / 256] : quint8(step - 768);
            code = step < 768 ? quint8(step) : quint8(m_random());
        } while (leftOutOfSweep(status, code));
        QByteArray payload;
        payload.append(char(status)).append(char(code));
        payload += randomBytes(int(m_random() % 41));
        out->append(SimCodec::buildFrame(m_address, payload));
        return;
    }
    case Kind::Log: {
        QByteArray text = "\x1b[0;31m<b>HUGE</b> <a href=\"http://x\">log</a> <img src=\"x.png\">\x1b[0m ";
        text += randomBytes(maxData + 1 - text.size() - 1).replace('\0', 'x');
        out->append(SimCodec::buildFrame(m_address, char(0xE4) + text + '\0'));
        return;
    }
    case Kind::Large:
        out->append(SimCodec::buildFrame(m_address, QByteArray("\x00\xE1", 2) + randomBytes(2048)));
        return;
    case Kind::Random:
        break;
    }

    QByteArray payload;
    payload.append(char(m_random() & 0xFF)).append(char(m_random() & 0xFF));
    payload += randomBytes(int(m_random() % (m_random() % 8 == 0 ? maxData + 1 : 48)));
    // Answers to Reboot, Factory reset and OTA Begin only make the client
    // wait; the sweep covers them once per round.
    if (leftOutOfSweep(quint8(payload.at(0)), quint8(payload.at(1))))
        payload[0] = char(0xFE);
    QByteArray frame = SimCodec::buildFrame(m_address, payload);
    switch (m_random() % 8) {
    case 0: // bad CRC
        frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0x5A);
        break;
    case 1: // cut short
        frame.truncate(1 + int(m_random() % quint32(frame.size() - 1)));
        break;
    case 2: { // a length that does not match its inverse, or one too large
        const quint16 length = quint16(m_random() % 2 ? 0xFFFF : m_random());
        frame[1] = char(length & 0xFF);
        frame[2] = char(length >> 8);
        if (m_random() % 2) {
            frame[3] = char(~length & 0xFF);
            frame[4] = char((~length >> 8) & 0xFF);
        }
        break;
    }
    case 3: // loose bytes, start bytes among them
        frame = randomBytes(1 + int(m_random() % 64));
        for (int i = 0; i < frame.size(); i += 7)
            frame[i] = char(SimCodec::kStx);
        break;
    default:
        break;
    }
    out->append(frame);
}

} // namespace SimFlood
