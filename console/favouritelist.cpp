#include "console/favouritelist.h"

#include <QSettings>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <limits>

#include "common/settings.h"

namespace {
const QString ArrayName = QStringLiteral("commands");
const QString NameKey = QStringLiteral("name");
const QString HexKey = QStringLiteral("hex");
} // namespace

void FavouriteList::load(QStringList *problems)
{
    QSettings settings = openSettings();
    load(settings, problems);
}

namespace {

bool isText(const QVariant &value, int maxLength)
{
    return (value.type() == QVariant::String || value.type() == QVariant::ByteArray)
        && value.toString().size() <= maxLength;
}

} // namespace

void FavouriteList::load(QSettings &settings, QStringList *problems)
{
    const auto problem = [problems](const QString &text) {
        if (problems)
            *problems << text;
    };
    m_commands.clear();

    // The size bounds which records belong to the list; one that cannot be
    // read bounds nothing.
    const QVariant size = settings.value(ArrayName + QStringLiteral("/size"));
    bool sizeRead = true;
    if (size.isValid())
        size.toString().toInt(&sizeRead);
    if (!sizeRead)
        problem(QStringLiteral("The number of favourites in the settings cannot be read."));
    const int claimed = settings.beginReadArray(ArrayName);
    const int last = sizeRead ? claimed : std::numeric_limits<int>::max();

    QVector<int> present;
    for (const QString &group : settings.childGroups()) {
        bool ok = false;
        const int number = group.toInt(&ok);
        if (ok && number >= 1 && number <= last && group == QString::number(number))
            present.append(number);
    }
    std::sort(present.begin(), present.end());
    if (sizeRead && present.size() < claimed)
        problem(
            QStringLiteral("The settings name %1 favourites, %2 of them are there.").arg(claimed).arg(present.size()));
    if (present.size() > MaxCount) {
        problem(QStringLiteral("Only the first %1 favourites of the settings are read.").arg(MaxCount));
        present.resize(MaxCount);
    }

    m_commands.reserve(present.size());
    for (const int number : qAsConst(present)) {
        settings.setArrayIndex(number - 1);
        const QVariant name = settings.value(NameKey);
        const QVariant hex = settings.value(HexKey);
        if (!isText(name, MaxNameLength) || !isText(hex, MaxHexLength)) {
            problem(QStringLiteral("Favourite %1 of the settings is damaged and left out.").arg(number));
            continue;
        }
        m_commands.append({name.toString(), hex.toString()});
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
