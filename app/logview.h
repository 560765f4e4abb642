#pragma once

#include <QColor>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTextCharFormat>
#include <functional>

class QAction;
class QBoxLayout;
class QLabel;
class QLineEdit;
class QTextEdit;
class QWidget;

// One of the window's logs: an append-only rich-text edit with the tools a
// reader of a busy log needs.
// - New text is followed while the view is at the bottom; scrolled up, or
//   with text selected, the place and the selection stay. "Follow new lines"
//   jumps back to the newest text and follows it again.
// - The context menu and the keyboard offer Copy, Select all, Find (a bar
//   below the log: next, previous, every match highlighted), Save log as...
//   (HTML as shown, or plain text for a name ending in .txt) and Follow new
//   lines.
// The base and text colours are the log's own, whatever the desktop theme.
class LogView : public QObject
{
    Q_OBJECT
public:
    // name is the log's short name in the object names of its find bar
    // ("leProtocolFind", "btProtocolFindNext"...); the bar goes into layout
    // at index.
    LogView(QTextEdit *edit, const QString &name, QBoxLayout *layout, int index, const QColor &base,
            const QColor &text);

    QTextEdit *edit() const { return m_edit; }

    // Appends a piece of HTML as a paragraph of its own; with
    // fixedPitchBody, everything after its first line is set in a
    // fixed-width font.
    void appendHtml(QString html, bool fixedPitchBody = false);
    // Appends a plain-text message followed by an empty line.
    void appendMessage(const QString &text);

    // Like a terminal's scrollback, the log keeps about its newest keep
    // blocks (a frame dump or a message is a block or two): once it holds a
    // tenth more, the oldest go in one batch. The view stays on the text the
    // user reads. The log keeps no undo record, which would grow without end.
    void setMaximumBlocks(int keep);

    bool isFollowing() const { return m_following; }
    void followNewLines();

    void showFindBar();
    // Selects the next (or previous) match of the find bar's text, from the
    // current selection on and round the end; false when there is none.
    bool findNext(bool backward = false);

    // The log as a file: HTML with the colours as shown, or plain text.
    QByteArray fileContent(bool plainText) const;
    // Asks for a file name (through chooseFile) and writes the log there.
    void save();
    std::function<QString()> chooseFile;

signals:
    void saved(const QString &path);
    void saveFailed(const QString &reason);

private:
    QAction *addAction(const QString &text, const QKeySequence &key, const std::function<void()> &run);
    void scrollToEnd();
    void dropOldest();
    QPair<int, int> selectionNow() const;
    void keepSelection(const QPair<int, int> &was);
    void appended(const QPair<int, int> &selected);
    void updateFollowing();
    void highlightMatches();
    QWidget *buildFindBar(const QString &name);

    QTextEdit *m_edit;
    QColor m_base;
    QColor m_text;
    QTextCharFormat m_fixedPitch;
    bool m_following = true;
    int m_keep = 0; // 0: no limit
    bool m_adjusting = false; // the view is moved by the log itself, not the user
    QList<QAction *> m_menuActions;

    QWidget *m_findBar = nullptr;
    QLineEdit *m_findText = nullptr;
    QLabel *m_findStatus = nullptr;
};
