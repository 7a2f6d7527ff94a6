#pragma once
// UI services that remember every message box instead of showing it. While
// one exists it is the program's UI; destroying it puts back the one before.
#include "app/installed_services.h"
#include "forms/ui_services.h"

#include <string>
#include <vector>

namespace brigant::test
{

struct RecordedBox {
    std::string text;
    std::string title;
    MessageKind kind;
};

class RecordingUi final : public UiServices
{
    InstalledServices installed_; // this, while it lives

  public:
    RecordingUi() { installed_.ui(this); }
    RecordingUi(const RecordingUi &) = delete;
    RecordingUi &operator=(const RecordingUi &) = delete;

    void messageBox(const std::string &text, const std::string &title, MessageKind kind) override
    {
        boxes.push_back({text, title, kind});
    }
    void processMessages() override { ++processed; }

    std::vector<RecordedBox> boxes;
    int processed = 0;
    std::vector<ProgressEvent> steps;

  protected:
    void progress(const ProgressEvent &event) override { steps.push_back(event); }
};

} // namespace brigant::test
