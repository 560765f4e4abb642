#include "console/favouritelist.h"

#include <QSettings>
#include <QStringList>

#include "app/settings.h"

namespace {
const QString ArrayName = QStringLiteral("commands");
const QString NameKey = QStringLiteral("name");
const QString HexKey = QStringLiteral("hex");
} // namespace

void FavouriteList::load()
{
    QSettings settings = openSettings();
    load(settings);
}

void FavouriteList::load(QSettings &settings)
{
    m_commands.clear();
    const int count = settings.beginReadArray(ArrayName);
    m_commands.reserve(count);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        m_commands.append({settings.value(NameKey).toString(), settings.value(HexKey).toString()});
    }
    settings.endArray();
}

void FavouriteList::save() const
{
    QSettings settings = openSettings();
    save(settings);
}

void FavouriteList::save(QSettings &settings) const
{
    // Drop the old elements first so that a shorter list leaves none behind.
    settings.remove(ArrayName);
    settings.beginWriteArray(ArrayName, m_commands.size());
    for (int i = 0; i < m_commands.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(NameKey, m_commands.at(i).name);
        settings.setValue(HexKey, m_commands.at(i).hex);
    }
    settings.endArray();
}

void FavouriteList::append(const FavouriteCommand &command)
{
    m_commands.append(command);
}

bool FavouriteList::replace(int pos, const FavouriteCommand &command)
{
    if (!contains(pos))
        return false;
    m_commands[pos] = command;
    return true;
}

void FavouriteList::remove(int pos)
{
    if (contains(pos))
        m_commands.removeAt(pos);
}

void FavouriteList::move(int from, int to)
{
    if (contains(from) && contains(to) && from != to)
        m_commands.move(from, to);
}

QByteArray favouriteBytes(const QString &hex)
{
    QStringList pieces = hex.split(QLatin1Char(' '));
    if (pieces.size() == 1 && pieces.first().isEmpty())
        pieces.clear();
    QByteArray bytes;
    bytes.reserve(pieces.size());
    for (const QString &piece : pieces)
        bytes.append(char(piece.toULongLong(nullptr, 16) & 0xFF));
    return bytes;
}

QString favouriteHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}
