#pragma once
// What the program's logic needs from a window system: message boxes, dialogs,
// processing of pending messages, timers. The Qt front end implements it with
// real widgets; the command-line tool prints; tests record.
#include <string>

namespace brigant
{

enum class MessageKind { Information, Warning, Error };

class UiServices
{
  public:
    virtual ~UiServices() = default;
    // A box with one OK button; returns when the user has dismissed it.
    virtual void messageBox(const std::string &text, const std::string &title, MessageKind kind) = 0;
    // Lets the window repaint and handle events queued while the logic runs.
    virtual void processMessages() = 0;
};

// Drops every message box (the default until a front end installs its own).
class SilentUiServices final : public UiServices
{
  public:
    void messageBox(const std::string &, const std::string &, MessageKind) override {}
    void processMessages() override {}
};

UiServices &Ui();
void SetUiServices(UiServices *services); // nullptr restores the silent default

} // namespace brigant
