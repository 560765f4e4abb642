#pragma once

#include <QKeySequence>
#include <functional>

class QAbstractButton;
class QDialog;
class QWidget;

// What makes a form usable without a mouse, with a screen reader and with
// large text, applied to the window and the dialogs once their widgets exist.
namespace FormAccess {

// How much larger than at 96 DPI the text of w is drawn (1 at least).
qreal textScale(const QWidget *w);

// The form's stated sizes (a label's least width, a column's most, an icon
// button's width) are sizes at 96 DPI: with the text drawn at a higher DPI
// they grow with it, so captions keep fitting. Once, after the form is built.
void scaleStatedSizes(QWidget *form);

// A button with a caption may be narrower than the style's least width for
// buttons, down to what its caption needs, so that a row of them fits a
// narrow column. Once, with the captions the form starts with.
void letButtonsShrink(QWidget *form);

// The rows of form's column but the last keptRows scroll together when the
// window is too small for them.
void scrollBody(QWidget *form, int keptRows);

// Every label beside a field becomes the field's buddy; every control
// without an accessible name is named after its caption, its buddy label or
// its tool tip, in plain words; Tab moves through the controls in the order
// of the layout. Again whenever controls were added.
void describe(QWidget *form);

// A dialog's content above its row of buttons scrolls when the screen is
// too small for it; its sizes scale with the text and it is described as
// above. Once, after the form is built.
void prepareDialog(QDialog *dialog);

// key (Alt+letter) presses button while it is shown and enabled, whatever
// its caption says at the time; the tool tip and the accessible
// description tell the key.
void addAccessKey(QAbstractButton *button, const QKeySequence &key);

// Enter (or the keypad's) on w runs action instead of what w would do.
void onEnter(QWidget *w, std::function<void()> action);

} // namespace FormAccess
