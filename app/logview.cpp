#include "app/logview.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include "common/safefile.h"

#include <utility>

namespace {

// Every HTML piece of a log ends with a line break. Appended as they are, all
// of them would grow one paragraph without end, and the edit lays out the
// whole paragraph again on every append: the cost of an append would grow
// with the log. So each piece gets a paragraph of its own, without its final
// break; the break is put back when a message follows, which keeps the look
// of one continuous text.
const QString kBreak = QStringLiteral("<br>");

// More matches than this are counted, not highlighted.
constexpr int kMaxMarks = 1000;

// Whether the bytes of a dump line up in columns in this font: every
// character a dump is made of takes the same room. (Some fixed-width fonts
// are not flagged as such by the system, so the glyphs are measured.)
bool evenColumns(const QFont &font)
{
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QLatin1Char('0'));
    for (QChar c : QStringLiteral("123456789ABCDEF :"))
        if (metrics.horizontalAdvance(c) != width)
            return false;
    return true;
}

// The desktop's fixed-width font, or the first of the common ones the
// system has whose columns line up.
QFont columnFont()
{
    const QFont desktop = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (evenColumns(desktop))
        return desktop;
    for (const char *family :
         {"monospace", "DejaVu Sans Mono", "Liberation Mono", "Noto Mono", "Consolas", "Courier New", "Courier"}) {
        QFont font(QString::fromLatin1(family), desktop.pointSize());
        font.setStyleHint(QFont::TypeWriter);
        if (evenColumns(font))
            return font;
    }
    return desktop;
}

bool endsWithPiece(const QTextDocument *document)
{
    return !document->lastBlock().text().isEmpty();
}

} // namespace

LogView::LogView(QTextEdit *edit, const QString &name, QBoxLayout *layout, int index, const QColor &base,
                 const QColor &text)
    : QObject(edit)
    , m_edit(edit)
    , m_base(base)
    , m_text(text)
    , m_lightBase(base)
    , m_lightText(text)
{
    applyLook();
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(100);
    connect(&m_showTimer, &QTimer::timeout, this, &LogView::showWaiting);
    m_second.start();
    edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    m_fixedPitch.setFontFamily(QFontInfo(columnFont()).family());
    m_fixedPitch.setFontFixedPitch(true);
    m_fixedPitch.setFontStyleHint(QFont::TypeWriter);

    // Following: the view stays at the bottom while the log grows, until the
    // user scrolls away from it or selects something.
    QScrollBar *bar = edit->verticalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, this, [this] {
        if (m_following)
            scrollToEnd();
    });
    connect(bar, &QScrollBar::valueChanged, this, [this] {
        if (!m_adjusting)
            updateFollowing();
    });
    connect(edit, &QTextEdit::selectionChanged, this, [this] {
        if (!m_adjusting)
            updateFollowing();
    });

    QAction *copy = addAction(QStringLiteral("Copy"), QKeySequence::Copy, [this] { m_edit->copy(); });
    addAction(QStringLiteral("Select all"), QKeySequence::SelectAll, [this] { m_edit->selectAll(); });
    auto *separator = new QAction(m_edit);
    separator->setSeparator(true);
    m_menuActions << separator;
    addAction(QStringLiteral("Find..."), QKeySequence::Find, [this] { showFindBar(); });
    addAction(QStringLiteral("Save log as..."), QKeySequence::Save, [this] { save(); });
    addAction(QStringLiteral("Follow new lines"), QKeySequence(Qt::CTRL | Qt::Key_End), [this] { followNewLines(); });

    edit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(edit, &QWidget::customContextMenuRequested, this, [this, copy](const QPoint &pos) {
        QMenu menu(m_edit);
        copy->setEnabled(m_edit->textCursor().hasSelection());
        menu.addActions(m_menuActions);
        menu.exec(m_edit->viewport()->mapToGlobal(pos));
        copy->setEnabled(true);
    });

    m_findBar = buildFindBar(name);
    layout->insertWidget(index, m_findBar);
    m_findBar->hide();
}

QAction *LogView::addAction(const QString &text, const QKeySequence &key, const std::function<void()> &run)
{
    auto *action = new QAction(text, m_edit);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(action, &QAction::triggered, this, run);
    m_edit->addAction(action);
    m_menuActions << action;
    return action;
}

QWidget *LogView::buildFindBar(const QString &name)
{
    auto *bar = new QWidget;
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(new QLabel(QStringLiteral("Find:"), bar));
    m_findText = new QLineEdit(bar);
    m_findText->setObjectName(QStringLiteral("le%1Find").arg(name));
    m_findText->setClearButtonEnabled(true);
    row->addWidget(m_findText, 1);
    const auto button = [&](const QString &text, const QString &objectName, const QString &tip) {
        auto *b = new QPushButton(text, bar);
        b->setObjectName(QStringLiteral("bt%1%2").arg(name, objectName));
        b->setToolTip(tip);
        b->setAutoDefault(false);
        row->addWidget(b);
        return b;
    };
    QPushButton *previous = button(QStringLiteral("Previous"), QStringLiteral("FindPrevious"),
                                   QStringLiteral("Previous match (Shift+Enter, Shift+F3)"));
    QPushButton *next
        = button(QStringLiteral("Next"), QStringLiteral("FindNext"), QStringLiteral("Next match (Enter, F3)"));
    m_findStatus = new QLabel(bar);
    m_findStatus->setObjectName(QStringLiteral("lab%1FindStatus").arg(name));
    row->addWidget(m_findStatus);
    QPushButton *close = button(QStringLiteral("Close"), QStringLiteral("FindClose"), QStringLiteral("Close (Esc)"));

    connect(next, &QPushButton::clicked, this, [this] { findNext(false); });
    connect(previous, &QPushButton::clicked, this, [this] { findNext(true); });
    connect(m_findText, &QLineEdit::returnPressed, this, [this] { findNext(false); });
    connect(m_findText, &QLineEdit::textChanged, this, [this] {
        // Typing refines the match where it is: search again from its start.
        QTextCursor cursor = m_edit->textCursor();
        cursor.setPosition(cursor.selectionStart());
        m_edit->setTextCursor(cursor);
        findNext(false);
    });
    connect(close, &QPushButton::clicked, this, [this] {
        m_findBar->hide();
        m_edit->setExtraSelections({});
        m_edit->setFocus();
    });
    const auto shortcut = [this](QWidget *on, const QKeySequence &key, const std::function<void()> &run) {
        auto *s = new QShortcut(key, on);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        connect(s, &QShortcut::activated, this, run);
    };
    shortcut(m_findText, QKeySequence(Qt::SHIFT | Qt::Key_Return), [this] { findNext(true); });
    shortcut(bar, QKeySequence(Qt::Key_Escape), [close] { close->click(); });
    for (QWidget *on : {static_cast<QWidget *>(bar), static_cast<QWidget *>(m_edit)}) {
        shortcut(on, QKeySequence::FindNext, [this] { findNext(false); });
        shortcut(on, QKeySequence::FindPrevious, [this] { findNext(true); });
    }
    return bar;
}

void LogView::appendHtml(QString html, bool fixedPitchBody)
{
    submit({std::move(html), true, fixedPitchBody});
}

void LogView::appendMessage(const QString &text)
{
    submit({text, false, false});
}

void LogView::submit(Piece piece)
{
    if (m_second.elapsed() >= 100) {
        m_second.restart();
        m_secondCharacters = 0;
    }
    const int size = piece.content.size();
    if (m_pending.empty() && fitsThisTenth(size)) {
        m_secondCharacters += size;
        insert(piece);
        return;
    }
    m_pendingCharacters += size;
    m_pending.push_back(std::move(piece));
    // What waits beyond the scrollback would only be scrolled out again.
    while (m_pending.size() > 1
           && ((m_keepCharacters > 0 && m_pendingCharacters > m_keepCharacters)
               || (m_keep > 0 && int(m_pending.size()) > m_keep))) {
        m_pendingCharacters -= m_pending.front().content.size();
        m_pending.pop_front();
        ++m_leftOut;
    }
    if (!m_showTimer.isActive())
        m_showTimer.start();
}

// Whether size more characters keep this tenth of a second within the rate
// (its first piece always does).
bool LogView::fitsThisTenth(int size) const
{
    return m_secondCharacters == 0 || m_secondCharacters + size <= CharactersPerSecond / 10;
}

void LogView::showWaiting()
{
    m_second.restart();
    m_secondCharacters = 0;
    if (m_leftOut > 0) {
        insertMessage(
            QStringLiteral("(%1 log entries not shown: they came faster than the log can show them)").arg(m_leftOut));
        m_leftOut = 0;
    }
    while (!m_pending.empty() && fitsThisTenth(m_pending.front().content.size())) {
        const Piece piece = std::move(m_pending.front());
        m_pending.pop_front();
        m_pendingCharacters -= piece.content.size();
        m_secondCharacters += piece.content.size();
        insert(piece);
    }
    if (!m_pending.empty())
        m_showTimer.start();
}

void LogView::clear()
{
    m_pending.clear();
    m_pendingCharacters = 0;
    m_leftOut = 0;
    m_showTimer.stop();
    m_edit->clear();
}

void LogView::insert(const Piece &piece)
{
    if (piece.html)
        insertHtml(piece.content, piece.fixedPitchBody);
    else
        insertMessage(piece.content);
}

void LogView::insertHtml(QString html, bool fixedPitchBody)
{
    if (html.endsWith(kBreak))
        html.chop(kBreak.size());
    const QPair<int, int> selected = selectionNow();
    QTextDocument *document = m_edit->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (endsWithPiece(document))
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    const int start = cursor.position();
    cursor.insertHtml(html);
    if (fixedPitchBody) {
        const QTextBlock block = document->findBlock(start);
        const int firstBreak = block.text().indexOf(QChar::LineSeparator, start - block.position());
        if (firstBreak >= 0) {
            cursor.setPosition(block.position() + firstBreak + 1);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            cursor.mergeCharFormat(m_fixedPitch);
        }
    }
    if (m_dark)
        recolour(start, true);
    appended(selected);
}

void LogView::insertMessage(const QString &text)
{
    const QPair<int, int> selected = selectionNow();
    QTextDocument *document = m_edit->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    // Messages are plain text, whatever they hold, and never inherit the
    // colour of the frame dump in front of them.
    const QTextCharFormat plain;
    if (endsWithPiece(document))
        cursor.insertText(QString(QChar::LineSeparator), plain);
    if (!document->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), plain);
    cursor.insertText(text, plain);
    cursor.insertBlock(QTextBlockFormat(), plain);
    appended(selected);
}

// The user's selection as anchor and position.
QPair<int, int> LogView::selectionNow() const
{
    const QTextCursor cursor = m_edit->textCursor();
    return {cursor.anchor(), cursor.position()};
}

// After an append: the user's selection as it was, the oldest lines beyond
// the scrollback gone, and the view at the bottom when following.
void LogView::appended(const QPair<int, int> &selected)
{
    keepSelection(selected);
    dropOldest();
    if (m_following)
        followNewLines();
}

// Text added at the end joins a selection that reached the end: the
// selection is put back as the user left it, and the view stays where it is.
void LogView::keepSelection(const QPair<int, int> &was)
{
    QTextCursor cursor = m_edit->textCursor();
    if (was.first == was.second || (cursor.anchor() == was.first && cursor.position() == was.second))
        return;
    QScrollBar *bar = m_edit->verticalScrollBar();
    const int value = bar->value();
    cursor.setPosition(was.first);
    cursor.setPosition(was.second, QTextCursor::KeepAnchor);
    m_adjusting = true;
    m_edit->setTextCursor(cursor);
    bar->setValue(value);
    m_adjusting = false;
}

void LogView::setMaximumBlocks(int keep, int keepCharacters)
{
    m_keep = keep;
    m_keepCharacters = keepCharacters;
    m_edit->document()->setUndoRedoEnabled(false);
    dropOldest();
}

void LogView::dropOldest()
{
    QTextDocument *document = m_edit->document();
    const bool tooManyBlocks = m_keep > 0 && document->blockCount() > m_keep + m_keep / 10;
    const bool tooManyCharacters
        = m_keepCharacters > 0 && document->characterCount() > m_keepCharacters + m_keepCharacters / 10;
    if (!tooManyBlocks && !tooManyCharacters)
        return;
    QTextBlock firstKept = document->firstBlock();
    if (m_keep > 0)
        firstKept = document->findBlockByNumber(qMax(0, document->blockCount() - m_keep));
    if (m_keepCharacters > 0) {
        // The newest blocks that hold no more than keepCharacters, and at
        // least the newest one.
        QTextBlock block = document->lastBlock();
        int characters = block.length();
        while (block.previous().isValid() && block.position() > firstKept.position()
               && characters + block.previous().length() <= m_keepCharacters) {
            block = block.previous();
            characters += block.length();
        }
        if (block.position() > firstKept.position())
            firstKept = block;
    }
    if (firstKept == document->firstBlock())
        return;
    // What the user reads moves up by the height of what goes.
    QAbstractTextDocumentLayout *layout = document->documentLayout();
    const qreal dropped
        = layout->blockBoundingRect(firstKept).top() - layout->blockBoundingRect(document->firstBlock()).top();
    QTextCursor oldest(document);
    oldest.setPosition(firstKept.position(), QTextCursor::KeepAnchor);
    oldest.removeSelectedText();
    if (!m_following) {
        m_adjusting = true;
        QScrollBar *bar = m_edit->verticalScrollBar();
        bar->setValue(qMax(0, bar->value() - qRound(dropped)));
        m_adjusting = false;
    }
}

void LogView::setDarkLook(const QColor &base, const QColor &text, const QHash<QRgb, QRgb> &darkColours)
{
    m_darkBase = base;
    m_darkText = text;
    m_darkColours = darkColours;
    m_edit->installEventFilter(this);
    for (const auto &[shown, caption] : {std::pair {Look::Light, "Light"}, std::pair {Look::Dark, "Dark"},
                                         std::pair {Look::Desktop, "As the desktop"}}) {
        const Look look = shown; // a binding cannot be captured before C++20
        auto *action = new QAction(QStringLiteral("Colours: %1").arg(QLatin1String(caption)), m_edit);
        action->setCheckable(true);
        action->setData(int(look));
        connect(action, &QAction::triggered, this, [this, look] {
            setLook(look);
            emit lookChosen(look);
        });
        m_edit->addAction(action);
        m_lookActions << action;
    }
    auto *separator = new QAction(m_edit);
    separator->setSeparator(true);
    m_menuActions << separator << m_lookActions;
    setLook(m_look);
}

void LogView::setLook(Look look)
{
    m_look = look;
    for (QAction *action : std::as_const(m_lookActions))
        action->setChecked(action->data().toInt() == int(look));
    applyLook();
}

bool LogView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && m_look == Look::Desktop && event->type() == QEvent::ApplicationPaletteChange)
        applyLook();
    return QObject::eventFilter(watched, event);
}

// The base and text colours of the look, and the text's own colours turned
// to the look's where it changed.
void LogView::applyLook()
{
    const QPalette desktop = QApplication::palette();
    const bool dark = m_darkBase.isValid()
        && (m_look == Look::Dark
            || (m_look == Look::Desktop
                && desktop.color(QPalette::Base).lightness() < desktop.color(QPalette::Text).lightness()));
    m_base = dark ? m_darkBase : m_lightBase;
    m_text = dark ? m_darkText : m_lightText;
    QPalette palette = m_edit->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, m_base);
        palette.setColor(group, QPalette::Text, m_text);
    }
    m_edit->setPalette(palette);
    if (dark != m_dark) {
        m_dark = dark;
        recolour(0, dark);
    }
}

// Sets the text from position from on in the dark colours, or back in the
// light ones.
void LogView::recolour(int from, bool toDark)
{
    QHash<QRgb, QRgb> map = m_darkColours;
    if (!toDark) {
        map.clear();
        for (auto it = m_darkColours.cbegin(); it != m_darkColours.cend(); ++it)
            map.insert(it.value(), it.key());
    }
    struct Run
    {
        int start;
        int end;
        QRgb colour;
    };
    QVector<Run> runs;
    QTextDocument *document = m_edit->document();
    for (QTextBlock block = document->findBlock(from); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QBrush brush = fragment.charFormat().foreground();
            const auto found = brush.style() == Qt::NoBrush ? map.cend() : map.constFind(brush.color().rgb());
            if (found != map.cend())
                runs.push_back({qMax(from, fragment.position()), fragment.position() + fragment.length(), *found});
        }
    }
    QTextCursor cursor(document);
    for (const Run &run : std::as_const(runs)) {
        QTextCharFormat colour;
        colour.setForeground(QColor::fromRgb(run.colour));
        cursor.setPosition(run.start);
        cursor.setPosition(run.end, QTextCursor::KeepAnchor);
        cursor.mergeCharFormat(colour);
    }
}

void LogView::followNewLines()
{
    m_adjusting = true;
    QTextCursor end(m_edit->document());
    end.movePosition(QTextCursor::End);
    m_edit->setTextCursor(end);
    m_adjusting = false;
    m_following = true;
    scrollToEnd();
}

void LogView::scrollToEnd()
{
    m_adjusting = true;
    QScrollBar *bar = m_edit->verticalScrollBar();
    bar->setValue(bar->maximum());
    m_adjusting = false;
}

void LogView::updateFollowing()
{
    const QScrollBar *bar = m_edit->verticalScrollBar();
    m_following = !m_edit->textCursor().hasSelection() && bar->value() >= bar->maximum();
}

void LogView::showFindBar()
{
    m_findBar->show();
    m_findText->setFocus();
    m_findText->selectAll();
    highlightMatches();
}

bool LogView::findNext(bool backward)
{
    const QString needle = m_findText->text();
    QTextCursor found;
    if (!needle.isEmpty()) {
        const QTextDocument::FindFlags flags = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
        QTextDocument *document = m_edit->document();
        found = document->find(needle, m_edit->textCursor(), flags);
        if (found.isNull()) {
            QTextCursor round(document);
            if (backward)
                round.movePosition(QTextCursor::End);
            found = document->find(needle, round, flags);
        }
        if (!found.isNull())
            m_edit->setTextCursor(found); // the user's place now: following stops
    }
    highlightMatches();
    return !found.isNull();
}

void LogView::highlightMatches()
{
    QList<QTextEdit::ExtraSelection> marks;
    const QString needle = m_findText->text();
    if (needle.isEmpty() || m_findBar->isHidden()) {
        m_findStatus->clear();
        m_edit->setExtraSelections(marks);
        return;
    }
    QTextCharFormat mark;
    mark.setBackground(QColor(255, 214, 0));
    mark.setForeground(Qt::black);
    const int current = m_edit->textCursor().hasSelection() ? m_edit->textCursor().selectionStart() : -1;
    int count = 0;
    int index = 0;
    QTextCursor cursor(m_edit->document());
    while (count <= kMaxMarks && !(cursor = m_edit->document()->find(needle, cursor)).isNull()) {
        ++count;
        if (cursor.selectionStart() == current)
            index = count;
        if (count <= kMaxMarks)
            marks << QTextEdit::ExtraSelection {cursor, mark};
    }
    m_edit->setExtraSelections(marks);
    const QString total = count > kMaxMarks ? QStringLiteral("%1+").arg(kMaxMarks) : QString::number(count);
    if (count == 0)
        m_findStatus->setText(QStringLiteral("No matches"));
    else if (index > 0)
        m_findStatus->setText(QStringLiteral("%1 of %2").arg(index).arg(total));
    else
        m_findStatus->setText(QStringLiteral("%1 matches").arg(total));
}

QByteArray LogView::fileContent(bool plainText) const
{
    if (plainText)
        return m_edit->toPlainText().toUtf8();
        // The base and the default text colour are the edit's, not the text's:
        // the page gets them too, so that it reads as the log does.
        // The page says it is UTF-8 (Qt 6 always writes that; Qt 5 when asked).
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QString html = m_edit->document()->toHtml();
#else
    QString html = m_edit->document()->toHtml("utf-8");
#endif
    html.replace(QLatin1String("<body style=\""),
                 QStringLiteral("<body style=\" background-color:%1; color:%2;").arg(m_base.name(), m_text.name()));
    return html.toUtf8();
}

void LogView::save()
{
    const QString path = chooseFile ? chooseFile() : QString();
    if (path.isEmpty())
        return;
    const bool plainText = QFileInfo(path).suffix().compare(QLatin1String("txt"), Qt::CaseInsensitive) == 0;
    QString error;
    if (writeFileSafely(path, fileContent(plainText), &error))
        emit saved(path);
    else
        emit saveFailed(error);
}
