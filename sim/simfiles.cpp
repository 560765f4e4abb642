#include "sim/simfiles.h"

#include "sim/simreader.h"

const char *const SimFileSystem::kConfigName = "config.json";

SimFileSystem::SimFileSystem(SimReader *reader)
    : QObject(reader)
    , m_defaultConfig(configDocument(ConfigR4))
{
    m_files.insert(kConfigName, m_defaultConfig);
    reader->registerCommand(kCmdOpen, [this](SimRequest &req) { open(req); });
    reader->registerCommand(kCmdRead, [this](SimRequest &req) { read(req); });
    reader->registerCommand(kCmdWrite, [this](SimRequest &req) { write(req); });
    reader->registerCommand(kCmdClose, [this](SimRequest &req) { close(req); });
    connect(reader, &SimReader::restarted, this, &SimFileSystem::closeOpenFile);
}

void SimFileSystem::setFile(const QByteArray &name, const QByteArray &content)
{
    m_files.insert(name, content);
    emit changed();
}

bool SimFileSystem::removeFile(const QByteArray &name)
{
    if (!m_files.remove(name))
        return false;
    emit changed();
    return true;
}

void SimFileSystem::setConfigDocument(ConfigKind kind)
{
    setDefaultConfig(configDocument(kind));
}

void SimFileSystem::setDefaultConfig(const QByteArray &content)
{
    m_defaultConfig = content;
    setFile(kConfigName, content);
}

void SimFileSystem::restoreDefaults()
{
    closeOpenFile();
    m_files.clear();
    m_files.insert(kConfigName, m_defaultConfig);
    emit changed();
}

void SimFileSystem::setReadChunkSize(int bytes)
{
    // A frame body holds 2068 bytes; leave room for status, code and address.
    m_chunkSize = qBound(1, bytes, 2000);
}

void SimFileSystem::closeOpenFile()
{
    m_open = false;
    m_openName.clear();
    m_openContent.clear();
    m_position = 0;
    m_endGiven = false;
}

void SimFileSystem::open(SimRequest &req)
{
    if (req.params.isEmpty()) {
        req.error(kErrorOpenParams);
        return;
    }
    const quint8 mode = quint8(req.params.at(0));
    QByteArray name = req.params.mid(1);
    while (name.endsWith('\0'))
        name.chop(1);
    if (name.isEmpty() || name.size() > kMaxNameLength) {
        req.error(kErrorOpenParams);
        return;
    }
    if (mode != kModeRead && mode != kModeWrite) {
        req.error(kErrorOpenMode);
        return;
    }
    if (mode == kModeRead && !m_files.contains(name)) {
        req.error(kErrorNoSuchFile);
        return;
    }
    closeOpenFile();
    m_open = true;
    m_openName = name;
    m_openMode = mode;
    if (mode == kModeRead)
        m_openContent = m_files.value(name);
    req.ack();
}

void SimFileSystem::read(SimRequest &req)
{
    if (!m_open) {
        req.error(kErrorNotOpen);
        return;
    }
    if (m_openMode != kModeRead) {
        req.error(kErrorWrongMode);
        return;
    }
    if (m_errorAfterEnd && m_endGiven) {
        ++m_readsPastEnd;
        req.error(kErrorReadPastEnd);
        return;
    }
    const QByteArray piece = m_openContent.mid(m_position, m_chunkSize);
    m_position += piece.size();
    m_endGiven = piece.isEmpty();
    req.ack(piece);
}

void SimFileSystem::write(SimRequest &req)
{
    if (!m_open) {
        req.error(kErrorNotOpen);
        return;
    }
    if (m_openMode != kModeWrite) {
        req.error(kErrorWrongMode);
        return;
    }
    if (m_openContent.size() + req.params.size() > kMaxFileSize) {
        req.error(kErrorFileTooLarge);
        return;
    }
    m_openContent.append(req.params);
    req.ack();
}

void SimFileSystem::close(SimRequest &req)
{
    if (!m_open) {
        req.error(kErrorNotOpen);
        return;
    }
    const bool written = m_openMode == kModeWrite;
    const QByteArray name = m_openName;
    const QByteArray content = m_openContent;
    closeOpenFile();
    if (written) {
        m_files.insert(name, content);
        emit changed();
    }
    req.ack();
    if (written)
        emit fileWritten(name, content);
}
