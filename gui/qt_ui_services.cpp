#include "gui/qt_ui_services.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

namespace brigant::gui
{

QString QtNameFilters(const std::string &filter)
{
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString &p : patterns)
            p = p.trimmed();
        filters << parts[i].trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

QtUiServices::QtUiServices() = default;
QtUiServices::~QtUiServices() = default;

void QtUiServices::messageBox(const std::string &text, const std::string &title, MessageKind kind)
{
    QMessageBox::Icon icon = QMessageBox::Information;
    if (kind == MessageKind::Warning)
        icon = QMessageBox::Warning;
    else if (kind == MessageKind::Error)
        icon = QMessageBox::Critical;
    QMessageBox box(icon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                    parent_);
    box.exec();
}

bool QtUiServices::askYesNo(const std::string &text, const std::string &title)
{
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void QtUiServices::processMessages() { QCoreApplication::processEvents(); }

std::optional<std::string> QtUiServices::openFileDialog(forms::OpenDialog &dialog)
{
    QFileDialog fileDialog(parent_, QString(), QString::fromStdString(dialog.initialDir));
    fileDialog.setObjectName(QString::fromStdString(dialog.name));
    fileDialog.setAcceptMode(QFileDialog::AcceptOpen);
    fileDialog.setFileMode(QFileDialog::ExistingFile);
    fileDialog.setNameFilter(QtNameFilters(dialog.filter));
    fileDialog.setDefaultSuffix(QString::fromStdString(dialog.defaultExt));
    if (!dialog.fileName.empty())
        fileDialog.selectFile(QString::fromStdString(dialog.fileName));
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty())
        return std::nullopt;
    const std::string chosen = QDir::toNativeSeparators(fileDialog.selectedFiles().front()).toStdString();
    dialog.fileName = chosen;
    return chosen;
}

void QtUiServices::startTimer(int id, std::uint32_t ms)
{
    auto &timer = timers_[id];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, timer.get(),
                         [this, id] { dispatch([this, id] { fireTimer(id); }); });
    }
    timer->start(static_cast<int>(ms));
}

void QtUiServices::stopTimer(int id)
{
    auto it = timers_.find(id);
    if (it != timers_.end())
        it->second->stop();
}

bool QtUiServices::timerActive(int id) const
{
    auto it = timers_.find(id);
    return it != timers_.end() && it->second->isActive();
}

void QtUiServices::watchSocket(int fd, std::function<void()> onReadable)
{
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [this, onReadable = std::move(onReadable)] { dispatch(onReadable); });
    sockets_.push_back(std::move(notifier));
}

void QtUiServices::pollEvery(int ms, std::function<void()> poll)
{
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(),
                     [this, poll = std::move(poll)] { dispatch(poll); });
    timer->start(ms);
    pollers_.push_back(std::move(timer));
}

void QtUiServices::dispatch(const std::function<void()> &handler)
{
    if (beforeDispatch_)
        beforeDispatch_();
    handler();
    if (afterDispatch_)
        afterDispatch_();
}

} // namespace brigant::gui
