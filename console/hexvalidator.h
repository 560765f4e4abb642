#pragma once

#include <QValidator>

// Keeps hexadecimal input in its canonical form: upper-case digit pairs
// separated by one blank (0A 1B 2). It never refuses input; it rewrites it.
class HexValidator : public QValidator
{
    Q_OBJECT
public:
    explicit HexValidator(QObject *parent = nullptr);
    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;
};
