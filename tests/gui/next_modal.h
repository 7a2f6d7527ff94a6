#pragma once
// Acting on the modal dialog that the program opens next, from inside its
// exec(): the dialog's own event loop runs the poll.
#include <QApplication>
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

} // namespace brigant::test
