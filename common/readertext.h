#pragma once

#include <QByteArray>
#include <QString>

// Text that a reader or the network sent, made fit to be shown on one line
// of a widget: control characters, line and paragraph separators and the
// bidirectional embedding and override marks (which could make the rest of
// a line read backwards) become blanks. Everything else stays as it came.
QString oneLine(const QString &text);

// Bytes of a reader or the network as text: UTF-8 when they are valid UTF-8,
// otherwise Latin-1 (every byte one character), so nothing is lost or
// garbled either way.
QString utf8OrLatin1(const QByteArray &bytes);
