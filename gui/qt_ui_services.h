#pragma once
// The program's UI services on Qt: message boxes, the file-open dialog,
// processing of pending events and the window timers, plus the event sources
// (a socket to watch, a bus to poll) that feed the window's device changes.
#include "forms/ui_services.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QWidget;
class QTimer;
class QSocketNotifier;

namespace brigant::gui
{

// "BinaryFile|*.bin|All Files|*.*" -> "BinaryFile (*.bin);;All Files (*.*)".
// Several patterns of one entry ("*.bin;*.vkt") become blank-separated; a
// description without its pattern is dropped.
QString QtNameFilters(const std::string &filter);

class QtUiServices final : public UiServices
{
  public:
    QtUiServices();
    ~QtUiServices() override;
    QtUiServices(const QtUiServices &) = delete;
    QtUiServices &operator=(const QtUiServices &) = delete;

    // Dialogs and message boxes are centred on this window (none: on the screen).
    void setParentWidget(QWidget *parent) { parent_ = parent; }
    // Run around each timer tick and each event-source callback: `before`
    // ahead of the handlers it starts, `after` once they have returned (the
    // window re-reads the model).
    void setDispatchHooks(std::function<void()> before, std::function<void()> after)
    {
        beforeDispatch_ = std::move(before);
        afterDispatch_ = std::move(after);
    }

    void messageBox(const std::string &text, const std::string &title, MessageKind kind) override;
    // A warning box with Yes and No; No is the default and Escape's answer.
    bool askYesNo(const std::string &text, const std::string &title) override;
    void processMessages() override;
    std::optional<std::string> openFileDialog(forms::OpenDialog &dialog) override;
    void startTimer(int id, std::uint32_t ms) override;
    void stopTimer(int id) override;
    bool timerActive(int id) const;

    // Calls `onReadable` whenever `fd` has data (a udev monitor's socket).
    void watchSocket(int fd, std::function<void()> onReadable);
    // Calls `poll` every `ms` (a simulated bus, which has no descriptor).
    void pollEvery(int ms, std::function<void()> poll);

  private:
    void dispatch(const std::function<void()> &handler);

    QWidget *parent_ = nullptr;
    std::function<void()> beforeDispatch_;
    std::function<void()> afterDispatch_;
    std::map<int, std::unique_ptr<QTimer>> timers_;
    std::vector<std::unique_ptr<QSocketNotifier>> sockets_;
    std::vector<std::unique_ptr<QTimer>> pollers_;
};

} // namespace brigant::gui
