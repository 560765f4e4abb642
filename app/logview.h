#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTextCharFormat>
#include <QTimer>
#include <deque>
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
    // blocks (a frame dump or a message is a block or two) and its newest
    // keepCharacters characters: once it holds a tenth more of either, the
    // oldest go in one batch. The view stays on the text the user reads. The
    // log keeps no undo record, which would grow without end.
    void setMaximumBlocks(int keep, int keepCharacters);

    // Text arrives faster than a log can lay it out when a reader floods
    // the link with large frames. A log takes at most this many characters
    // a second; what comes on top waits and is shown a tenth of a second
    // later, and what would be scrolled out by the time it is shown is left
    // out, with a line that says how many pieces were. Everything else is
    // shown when it is appended, as it comes.
    static constexpr int CharactersPerSecond = 400000;
    // The number of pieces waiting to be shown.
    int waiting() const { return int(m_pending.size()); }
    // Empties the log, including what waits.
    void clear();

    // The log's look: its own base, text and colours (shown with the
    // light ones given by the HTML, or the dark ones they map to), whatever
    // the desktop theme.
    enum class Look {
        Light,
        Dark,
        Desktop // dark when the desktop's palette is
    };
    void setDarkLook(const QColor &base, const QColor &text, const QHash<QRgb, QRgb> &darkColours);
    void setLook(Look look);
    Look look() const { return m_look; }
    bool isDark() const { return m_dark; }

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
    void lookChosen(LogView::Look look);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QAction *addAction(const QString &text, const QKeySequence &key, const std::function<void()> &run);
    struct Piece
    {
        QString content;
        bool html;
        bool fixedPitchBody;
    };
    void submit(Piece piece);
    void insert(const Piece &piece);
    void showWaiting();
    bool fitsThisTenth(int size) const;
    void insertHtml(QString html, bool fixedPitchBody);
    void insertMessage(const QString &text);
    void applyLook();
    void recolour(int from, bool toDark);
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
    int m_keepCharacters = 0;
    std::deque<Piece> m_pending;
    int m_pendingCharacters = 0;
    int m_leftOut = 0; // pieces left out since the last shown
    QElapsedTimer m_second; // the rate's current tenth of a second
    int m_secondCharacters = 0;
    QTimer m_showTimer;
    QColor m_lightBase;
    QColor m_lightText;
    QColor m_darkBase;
    QColor m_darkText;
    QHash<QRgb, QRgb> m_darkColours;
    Look m_look = Look::Light;
    bool m_dark = false;
    bool m_adjusting = false; // the view is moved by the log itself, not the user
    QList<QAction *> m_menuActions;
    QList<QAction *> m_lookActions;

    QWidget *m_findBar = nullptr;
    QLineEdit *m_findText = nullptr;
    QLabel *m_findStatus = nullptr;
};
