#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QSettings;

// One favourite: the text shown in the list and a complete frame (start byte,
// length fields and CRC included) as hexadecimal text, upper-case pairs
// separated by one blank.
struct FavouriteCommand
{
    QString name;
    QString hex;
};

// The ordered favourites as kept in the settings array "commands" (keys
// "name" and "hex"). Positions are 0-based. The list only mirrors the
// settings: the window changes it, saves it and reads it back.
class FavouriteList
{
public:
    // A favourite is sent from a buffer of this size.
    static constexpr int MaxBytes = 1024;
    // What is read back at the most: a store holding more, or longer texts,
    // is damaged.
    static constexpr int MaxCount = 10000;
    static constexpr int MaxNameLength = 1024;
    static constexpr int MaxHexLength = 4 * MaxBytes;

    // Replace the whole list with the array in the program's settings store
    // (or in settings). Only the records that are there are read, however
    // many the array's size claims, at most MaxCount of them; a record whose
    // name or bytes are missing, are not text or are too long is left out.
    // What was wrong is added to problems, one sentence each.
    void load(QStringList *problems = nullptr);
    void load(QSettings &settings, QStringList *problems = nullptr);
    // Rewrite the whole array, its size being the number of records.
    void save() const;
    void save(QSettings &settings) const;

    void append(const FavouriteCommand &command);
    // Replace the record at pos; false (and no change) when pos names none.
    bool replace(int pos, const FavouriteCommand &command);
    // A position outside the list does nothing.
    void remove(int pos);
    // Moves the record at from so that it ends up at to; nothing when either
    // position is outside the list.
    void move(int from, int to);

    int size() const { return m_commands.size(); }
    bool isEmpty() const { return m_commands.isEmpty(); }
    bool contains(int pos) const { return pos >= 0 && pos < m_commands.size(); }
    const FavouriteCommand &at(int pos) const { return m_commands.at(pos); }
    const QList<FavouriteCommand> &commands() const { return m_commands; }

private:
    QList<FavouriteCommand> m_commands;
};

// The bytes of a favourite's hex text: split at every blank (empty pieces
// kept, a lone empty piece dropped), each piece read as a hexadecimal number
// and cut to its low 8 bits; a piece that does not parse gives 00.
// "1 2 3" gives 01 02 03.
QByteArray favouriteBytes(const QString &hex);

// The canonical hex text of bytes: upper-case pairs separated by one blank.
// favouriteHex(favouriteBytes(hex)) is a favourite as it will be sent.
QString favouriteHex(const QByteArray &bytes);
