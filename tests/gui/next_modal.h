#pragma once
// Acting on the modal dialog that the program opens next, from inside its
// exec(): the dialog's own event loop runs the poll.
#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace brigant::test
{

// Runs `act` on the next modal dialog of type Dialog once it is open.
template <typename Dialog> void OnNextModal(std::function<void(Dialog *)> act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (auto *d = qobject_cast<Dialog *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(d);
        }
    });
    poll->start(10);
}

// While it lives, answers every message box Yes (or OK) and keeps its text
// in `texts`.
class AnswerEveryBox
{
  public:
    AnswerEveryBox()
    {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                QAbstractButton *yes = box->button(QMessageBox::Yes);
                (yes ? yes : box->button(QMessageBox::Ok))->click();
            }
        });
        poll_.start(10);
    }
    QStringList texts;

  private:
    QTimer poll_;
};

// While it lives, the file dialog picks `file` and every message box is
// closed with its default button; the boxes' texts are kept.
class ModalAnswers
{
  public:
    explicit ModalAnswers(const QString &file) : file_(file)
    {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                // The file chosen; where the dialog has not listed it yet, its
                // name typed, as a user would.
                dialog->selectFile(file_);
                if (dialog->selectedFiles().value(0) != file_)
                    if (auto *name = dialog->findChild<QLineEdit *>("fileNameEdit"))
                        name->setText(file_);
                static_cast<QDialog *>(dialog)->accept();
            } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                said += box->text() + "\n";
                box->done(QMessageBox::Ok);
            }
        });
        poll_.start(10);
    }
    QString said;

  private:
    QString file_;
    QTimer poll_;
};

} // namespace brigant::test
