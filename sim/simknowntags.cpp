#include "sim/simknowntags.h"

#include "sim/simreader.h"

SimKnownTags::SimKnownTags(SimReader *reader)
    : QObject(reader)
{
    reader->registerCommand(kCmdKnownList, [this](SimRequest &req) { knownList(req); });
    connect(reader, &SimReader::restarted, this, &SimKnownTags::endSession);
}

QByteArray SimKnownTags::entry(quint8 bracket, const QByteArray &uid)
{
    return QByteArray(1, char(bracket)) + uid;
}

void SimKnownTags::setEntries(const QList<QByteArray> &entries)
{
    m_entries = entries;
    emit changed();
}

void SimKnownTags::addEntry(quint8 bracket, const QByteArray &uid)
{
    m_entries.append(entry(bracket, uid));
    emit changed();
}

void SimKnownTags::clear()
{
    m_entries.clear();
    m_session = None;
    emit changed();
}

void SimKnownTags::knownList(SimRequest &req)
{
    if (req.params.isEmpty()) {
        req.error(kErrorParams);
        return;
    }
    const quint8 sub = quint8(req.params.at(0));
    switch (sub) {
    case kSubReadFirst:
        m_session = Reading;
        m_readPosition = 0;
        answerEntry(req, sub);
        return;
    case kSubReadNext:
        if (m_session != Reading) {
            req.error(kErrorSequence);
            return;
        }
        answerEntry(req, sub);
        return;
    case kSubWriteStart:
        m_session = Writing;
        m_entries.clear();
        emit changed();
        req.ack(QByteArray(1, char(sub)));
        return;
    case kSubWriteEntry: {
        const QByteArray stored = req.params.mid(1);
        const int uidSize = stored.size() - 1;
        if (uidSize < kMinUidSize || uidSize > kMaxUidSize) {
            req.error(kErrorParams);
            return;
        }
        if (m_session != Writing) {
            req.error(kErrorSequence);
            return;
        }
        if (m_entries.size() >= kMaxEntries) {
            req.error(kErrorFull);
            return;
        }
        m_entries.append(stored);
        emit changed();
        req.ack(QByteArray(1, char(sub)));
        return;
    }
    default:
        req.error(kErrorSubCommand);
        return;
    }
}

// The entry at the read position, or the end-of-list answer naming the
// sub-command that found the end.
void SimKnownTags::answerEntry(SimRequest &req, quint8 sub)
{
    if (m_readPosition >= m_entries.size()) {
        req.ack(QByteArray(1, char(sub)));
        return;
    }
    req.ack(m_entries.at(m_readPosition++));
}
