#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/formaccess.h"

#include <QIntValidator>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QPushButton>

#include "console/hexvalidator.h"
#include "console/requestbuilder.h"

void MainWindow::clearParameterForm()
{
    for (int i = 0; i < MaxParams; ++i) {
        delete paramLabels[i];
        delete paramEdits[i];
        paramLabels[i] = nullptr;
        paramEdits[i] = nullptr;
    }
}

void MainWindow::on_lvCommands_currentRowChanged(int)
{
    QListWidgetItem *item = ui->lvCommands->currentItem();
    if (!item)
        return;
    for (int i = 0; i < MaxParams; ++i) {
        if (paramEdits[i])
            paramTexts[i] = paramEdits[i]->text();
    }
    clearParameterForm();

    const QJsonArray args = item->data(Qt::UserRole).toJsonObject().value(QStringLiteral("args")).toArray();
    const int count = qMin(int(args.size()), int(MaxParams));
    // Fields 1-3 form the first column, 4-6 the second, 7-10 the third. The
    // labels of a column are 120 pixels wide, or as wide as the longest of
    // them needs, so that no name is cut.
    const auto columnOf = [](int i) { return i < 3 ? 0 : i < 6 ? 1 : 2; };
    // Sizes are at 96 DPI and grow with the text.
    const qreal scale = FormAccess::textScale(ui->gbCommands);
    const auto px = [scale](int size) { return qRound(size * scale); };
    int labelWidth[3] = {px(120), px(120), px(120)};
    const QFontMetrics metrics = ui->gbCommands->fontMetrics();
    for (int i = 0; i < count; ++i) {
        const QString caption = args.at(i).toObject().value(QStringLiteral("name")).toString() + QStringLiteral(":");
        labelWidth[columnOf(i)] = qMax(labelWidth[columnOf(i)], metrics.horizontalAdvance(caption));
    }

    int x = px(5);
    int y = px(20);
    int columnEdge = 0;
    for (int i = 0; i < count; ++i) {
        const QJsonObject arg = args.at(i).toObject();
        const int width = px(arg.value(QStringLiteral("width")).toInt(120));
        const int maxlen = arg.value(QStringLiteral("maxlen")).toInt(255);
        const int labelW = labelWidth[columnOf(i)];

        auto *label = new QLabel(arg.value(QStringLiteral("name")).toString() + QStringLiteral(":"), ui->gbCommands);
        label->setGeometry(x, y, labelW, px(25));
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        label->show();

        auto *edit = new QLineEdit(ui->gbCommands);
        edit->setObjectName(QStringLiteral("paramEdit%1").arg(i));
        edit->setGeometry(x + labelW, y - px(4), width, px(20));
        edit->setMaxLength(maxlen);
        edit->show();
        edit->setText(paramTexts[i]);
        label->setBuddy(edit);
        // Enter in a field is the same as pressing the execute button.
        connect(edit, &QLineEdit::returnPressed, ui->btCommnadExecute, &QPushButton::click);

        if (i <= 5 && x + labelW + width + px(20) > columnEdge)
            columnEdge = x + labelW + width + px(20);

        const QString type = arg.value(QStringLiteral("type")).toString().toLower();
        QValidator *validator = nullptr;
        if (RequestBuilder::numberWidth(type))
            validator = new QIntValidator(0, int(RequestBuilder::numberTop(type)), this);
        else if (type == QLatin1String("hex"))
            validator = new HexValidator(this);
        if (validator) {
            // Owned by the window, but not kept beyond the field that uses it.
            connect(edit, &QObject::destroyed, validator, &QObject::deleteLater);
            edit->setValidator(validator);
        }

        paramLabels[i] = label;
        paramEdits[i] = edit;

        const int next = i + 1;
        if (next == 3 || next == 6) {
            y = px(20);
            x = columnEdge;
        } else {
            y += px(30);
        }
    }
    FormAccess::describe(this);
}

void MainWindow::on_btCommnadExecute_clicked()
{
    executeSelectedCommand();
}

void MainWindow::on_lvCommands_itemDoubleClicked(QListWidgetItem *)
{
    executeSelectedCommand();
}

void MainWindow::executeSelectedCommand()
{
    QListWidgetItem *item = ui->lvCommands->currentItem();
    if (!item) {
        QMessageBox::information(this, QStringLiteral("Waring"), QStringLiteral("Please select command first"),
                                 QMessageBox::Ok);
        return;
    }
    const QJsonObject command = item->data(Qt::UserRole).toJsonObject();
    const QJsonArray args = command.value(QStringLiteral("args")).toArray();
    if (args.isEmpty()) {
        const uint8_t code = uint8_t(command.value(QStringLiteral("value")).toInt() & 0xFF);
        protocol.sendFrame(&code, 1);
        consoleAnswers.watch(code, commandName(code));
        return;
    }

    QStringList texts;
    for (int i = 0; i < args.size(); ++i)
        texts << (i < MaxParams && paramEdits[i] ? paramEdits[i]->text() : QString());
    const RequestBuildResult request = RequestBuilder::build(command, texts);
    if (!request.ok()) {
        const int field = request.failedArgument;
        // The box names the field and what it takes.
        QMessageBox box(QMessageBox::Information, QStringLiteral("Waring"),
                        QStringLiteral("Please enter correct value"), QMessageBox::Ok, this);
        box.setInformativeText(RequestBuilder::fieldRule(args.at(field).toObject()));
        box.exec();
        if (field < MaxParams && paramEdits[field])
            paramEdits[field]->setFocus();
        return;
    }
    oneShotState = Idle;
    protocol.sendFrame(request.payload);
    const uint8_t code = uint8_t(request.payload.at(0));
    consoleAnswers.watch(code, commandName(code));
}
