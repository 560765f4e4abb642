#include "app/formaccess.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QBoxLayout>
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTextDocumentFragment>
#include <QTextEdit>

namespace {

class EnterFilter : public QObject
{
public:
    EnterFilter(QObject *parent, std::function<void()> action)
        : QObject(parent)
        , m_action(std::move(action))
    { }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        m_action();
        return true;
    }

private:
    std::function<void()> m_action;
};

// Asks for the room its content asks for, as far as the screen has it (a
// plain scroll area asks for at most 36 by 24 lines), so that a window takes
// the size it had without one wherever it fits.
class ContentScrollArea : public QScrollArea
{
public:
    using QScrollArea::QScrollArea;

    QSize sizeHint() const override
    {
        if (!widget())
            return QScrollArea::sizeHint();
        const int frame = 2 * frameWidth();
        const QSize content = widget()->sizeHint() + QSize(frame, frame);
        return screen() ? content.boundedTo(screen()->availableGeometry().size() * 4 / 5) : content;
    }
};

int scaled(int size, qreal factor, int none)
{
    return size > 0 && size < none ? qRound(size * factor) : size;
}

// A control that takes input beside its label: not a button (a button has
// a caption of its own) and nothing that cannot take the focus.
bool isField(const QWidget *w)
{
    return w && w->focusPolicy() != Qt::NoFocus && !qobject_cast<const QAbstractButton *>(w)
        && !qobject_cast<const QLabel *>(w);
}

QLabel *captionLabel(QWidget *w)
{
    auto *label = qobject_cast<QLabel *>(w);
    return label && !label->buddy() && !label->text().isEmpty() ? label : nullptr;
}

// In a grid the field shares the label's row; in a form it is the row's
// field; in a box it is the next item.
bool sameRow(QLayout *layout, int a, int b)
{
    int rowA, colA, spanRA, spanCA, rowB, colB, spanRB, spanCB;
    if (auto *grid = qobject_cast<QGridLayout *>(layout)) {
        grid->getItemPosition(a, &rowA, &colA, &spanRA, &spanCA);
        grid->getItemPosition(b, &rowB, &colB, &spanRB, &spanCB);
        return rowA == rowB && colB == colA + spanCA;
    }
    if (auto *form = qobject_cast<QFormLayout *>(layout)) {
        QFormLayout::ItemRole roleA, roleB;
        form->getItemPosition(a, &rowA, &roleA);
        form->getItemPosition(b, &rowB, &roleB);
        return rowA == rowB && roleA == QFormLayout::LabelRole;
    }
    return true;
}

void setBuddies(QWidget *form)
{
    for (QLayout *layout : form->findChildren<QLayout *>()) {
        for (int i = 0; i + 1 < layout->count(); ++i) {
            QLabel *label = captionLabel(layout->itemAt(i)->widget());
            QWidget *field = layout->itemAt(i + 1)->widget();
            if (label && isField(field) && sameRow(layout, i, i + 1))
                label->setBuddy(field);
        }
    }
}

// A caption in plain words: no mnemonic marker, markup or closing colon.
QString plain(const QString &caption, Qt::TextFormat format = Qt::PlainText)
{
    QString text = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(caption))
        ? QTextDocumentFragment::fromHtml(caption).toPlainText()
        : caption;
    text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
    text = text.simplified();
    while (text.endsWith(QLatin1Char(':')) || text.endsWith(QLatin1Char('>')))
        text.chop(1);
    return text.trimmed();
}

QString nameOf(QWidget *w, const QHash<QWidget *, QLabel *> &labels)
{
    if (auto *button = qobject_cast<QAbstractButton *>(w)) {
        if (!plain(button->text()).isEmpty())
            return plain(button->text());
        // The clear button inside a line edit has nothing to say.
        return qobject_cast<QLineEdit *>(w->parentWidget()) ? QStringLiteral("Clear") : plain(button->toolTip());
    }
    if (auto *group = qobject_cast<QGroupBox *>(w))
        return group->isCheckable() ? plain(group->title()) : QString();
    if (QLabel *label = labels.value(w))
        return plain(label->text(), label->textFormat());
    if (auto *bar = qobject_cast<QTabBar *>(w)) {
        auto *pages = qobject_cast<QTabWidget *>(bar->parentWidget());
        return pages && !pages->accessibleName().isEmpty() ? pages->accessibleName() : QStringLiteral("Pages");
    }
    return QString();
}

void nameControls(QWidget *form)
{
    QHash<QWidget *, QLabel *> labels;
    for (QLabel *label : form->findChildren<QLabel *>()) {
        if (label->buddy())
            labels.insert(label->buddy(), label);
    }
    for (QWidget *w : form->findChildren<QWidget *>()) {
        if (w->window() == form->window() && w->accessibleName().isEmpty()) {
            const QString name = nameOf(w, labels);
            if (!name.isEmpty())
                w->setAccessibleName(name);
        }
    }
}

void collectLayout(QLayout *layout, QWidgetList &out);

// The controls inside w, in the order of its layout.
void collectChildren(QWidget *w, QWidgetList &out);

void visit(QWidget *w, QWidgetList &out)
{
    if (!w || w->isWindow())
        return;
    if (w->focusPolicy() & Qt::TabFocus)
        out << w;
    if (auto *pages = qobject_cast<QTabWidget *>(w)) {
        for (int i = 0; i < pages->count(); ++i)
            collectChildren(pages->widget(i), out);
    } else if (auto *stack = qobject_cast<QStackedWidget *>(w)) {
        for (int i = 0; i < stack->count(); ++i)
            collectChildren(stack->widget(i), out);
    } else if (auto *splitter = qobject_cast<QSplitter *>(w)) {
        for (int i = 0; i < splitter->count(); ++i)
            visit(splitter->widget(i), out);
    } else if (auto *scroll = qobject_cast<QScrollArea *>(w)) {
        collectChildren(scroll->widget(), out);
    } else if (!isField(w) && !qobject_cast<QAbstractButton *>(w)) {
        collectChildren(w, out);
    }
}

void collectChildren(QWidget *w, QWidgetList &out)
{
    if (!w)
        return;
    if (w->layout()) {
        collectLayout(w->layout(), out);
        return;
    }
    for (QObject *child : w->children())
        visit(qobject_cast<QWidget *>(child), out);
}

void collectLayout(QLayout *layout, QWidgetList &out)
{
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget())
            visit(item->widget(), out);
        else if (item->layout())
            collectLayout(item->layout(), out);
    }
}

} // namespace

// Everything in the widget's column but the last rows goes into a scroll
// area, which takes the place of what it holds.
void FormAccess::scrollBody(QWidget *form, int keptRows)
{
    auto *column = qobject_cast<QBoxLayout *>(form->layout());
    if (!column || column->count() <= keptRows)
        return;
    auto *body = new QWidget;
    auto *bodyColumn = new QVBoxLayout(body);
    bodyColumn->setContentsMargins(0, 0, 0, 0);
    while (column->count() > keptRows) {
        const int stretch = column->stretch(0);
        QLayoutItem *item = column->takeAt(0);
        if (QWidget *w = item->widget()) {
            bodyColumn->addWidget(w, stretch);
            delete item;
        } else if (QLayout *layout = item->layout()) {
            layout->setParent(nullptr);
            bodyColumn->addLayout(layout, stretch);
        } else {
            bodyColumn->addItem(item);
        }
    }
    auto *scroll = new ContentScrollArea(form);
    scroll->setObjectName(form->objectName() + QStringLiteral("Scroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(body);
    column->insertWidget(0, scroll, 1);
}

namespace {

void orderTabs(QWidget *form)
{
    QWidgetList order;
    collectChildren(form, order);
    for (int i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

} // namespace

qreal FormAccess::textScale(const QWidget *w)
{
    return qMax(1.0, w->logicalDpiY() / 96.0);
}

void FormAccess::scaleStatedSizes(QWidget *form)
{
    const qreal factor = textScale(form);
    if (factor == 1.0)
        return;
    QWidgetList widgets = form->findChildren<QWidget *>();
    widgets << form;
    for (QWidget *w : widgets) {
        const QSize min = w->minimumSize();
        const QSize max = w->maximumSize();
        w->setMinimumSize(scaled(min.width(), factor, QWIDGETSIZE_MAX), scaled(min.height(), factor, QWIDGETSIZE_MAX));
        w->setMaximumSize(scaled(max.width(), factor, QWIDGETSIZE_MAX), scaled(max.height(), factor, QWIDGETSIZE_MAX));
    }
}

void FormAccess::letButtonsShrink(QWidget *form)
{
    for (QPushButton *button : form->findChildren<QPushButton *>()) {
        if (button->text().isEmpty() || button->minimumWidth() > 0)
            continue;
        const QStyle *style = button->style();
        const int margins = 2
            * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button)
               + style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width();
        button->setMinimumWidth(
            qMin(button->sizeHint().width(), button->fontMetrics().horizontalAdvance(button->text()) + icon + margins));
    }
}

void FormAccess::describe(QWidget *form)
{
    setBuddies(form);
    nameControls(form);
    orderTabs(form);
}

void FormAccess::prepareDialog(QDialog *dialog)
{
    scaleStatedSizes(dialog);
    letButtonsShrink(dialog);
    scrollBody(dialog, 1);
    // At least the size its content asks for, not the two thirds of the
    // screen a dialog is given at most on its own.
    dialog->resize(dialog->size().expandedTo(dialog->sizeHint()));
    describe(dialog);
}

void FormAccess::onEnter(QWidget *w, std::function<void()> action)
{
    w->installEventFilter(new EnterFilter(w, std::move(action)));
}

void FormAccess::addAccessKey(QAbstractButton *button, const QKeySequence &key)
{
    auto *shortcut = new QShortcut(key, button);
    QObject::connect(shortcut, &QShortcut::activated, button, [button] { button->animateClick(); });
    const QString keyText = key.toString(QKeySequence::NativeText);
    button->setAccessibleDescription(keyText);
    if (button->toolTip().isEmpty())
        button->setToolTip(keyText);
}
