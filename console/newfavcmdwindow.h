#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class NewFavCmdWindow;
}

// Editor of one favourite command, for adding (idx -1) and for editing the
// record at idx. Shown without blocking; several may be open at once. The
// bytes show as they are sent, in canonical pairs. OK hands the name and
// bytes on through addNewFavCommand, Cancel just closes.
class NewFavCmdWindow : public QDialog
{
    Q_OBJECT

public:
    explicit NewFavCmdWindow(QWidget *parent = nullptr, int idx = -1, const QString &name = QString(),
                             const QString &hex = QString());
    ~NewFavCmdWindow() override;

    int idx = -1;

signals:
    void addNewFavCommand(int idx, QString name, QString hex);

private slots:
    void on_buttonBox_accepted();

private:
    Ui::NewFavCmdWindow *ui;
};
