#pragma once
// Acting on the modal dialog that the program opens next, from inside its
// exec(): the dialog's own event loop runs the poll.
#include <QAbstractButton>
#include <QApplication>
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

} // namespace brigant::test
