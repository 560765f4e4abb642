#pragma once

class QTextEdit;

// Keeps a log to about its newest keep blocks, as a terminal keeps its
// scrollback: once it holds a tenth more, the oldest go, all in one edit
// when the event loop next turns. (Removing text makes the edit lay out the
// whole log again, whatever is removed: one block at a time, every append
// would cost that.) The edit keeps no undo record.
void limitLog(QTextEdit *edit, int keep);
