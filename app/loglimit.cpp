#include "app/loglimit.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <memory>

void limitLog(QTextEdit *edit, int keep)
{
    QTextDocument *document = edit->document();
    // A log has nothing to undo; the record of every insertion and removal
    // would grow without end.
    document->setUndoRedoEnabled(false);
    auto pending = std::make_shared<bool>(false);
    QObject::connect(document, &QTextDocument::blockCountChanged, edit, [=](int count) {
        if (count <= keep + keep / 10 || *pending)
            return;
        *pending = true;
        QTimer::singleShot(0, edit, [=] {
            *pending = false;
            const int surplus = document->blockCount() - keep;
            if (surplus <= 0)
                return;
            QTextCursor oldest(document);
            oldest.setPosition(document->findBlockByNumber(surplus).position(), QTextCursor::KeepAnchor);
            oldest.removeSelectedText();
        });
    });
}
