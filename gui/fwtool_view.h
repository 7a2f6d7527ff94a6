#pragma once
// The main window on Qt: one real widget per control of the window model,
// kept in step with it through the controls' observers, and user input handed
// back to the model (clicks, toggles, selections, edits).
#include "model/fwupdate.h"

#include <QCheckBox>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>

class QLabel;

namespace brigant::gui
{

enum class Face {
    Delivered, // the one-button updater: 398 x 143, the full tool hidden or outside
    Advanced,  // the same plus every control of the full tool, laid out below it
};

class FwToolView final : public QWidget
{
  public:
    FwToolView(TBrigantFwTool &form, Face face, QWidget *parent = nullptr);
    ~FwToolView() override;

    Face face() const { return face_; }
    // The widget that shows a control (the edit of a labelled edit), or nullptr.
    QWidget *widgetFor(const std::string &name) const;
    // The label of a labelled edit, or nullptr.
    QLabel *labelFor(const std::string &name) const;
    // The full tool's "Rehearse first" box (the advanced face only; checked
    // at the start): its write is rehearsed on the device's twin first.
    bool rehearseFirst() const;
    // The area that holds the one-button face at the form's positions.
    QWidget *clientArea() const { return clientArea_; }

    // Re-reads what the model keeps outside its controls: the caption and the
    // client height; closes the window once the model has closed.
    void syncWindow();
    // Runs after every user action the view has handed to the model.
    void setAfterUserAction(std::function<void()> after) { afterUserAction_ = std::move(after); }

    // Handlers in progress (user actions, timer ticks). The window does not
    // close under a running handler: it may be writing a bridge's flash.
    void enterHandler() { ++handlerDepth_; }
    void leaveHandler() { --handlerDepth_; }
    // While a write runs (from its checks to its end), every control the
    // user acts on is disabled: none could act, or it would start a second
    // run inside the first. Call on every change of the write's phase.
    void updateAll();
    bool busy() const { return handlerDepth_ > 0 || form_.updateRunning != 0; }

  protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

  private:
    struct Binding {
        forms::Control *control = nullptr;
        QWidget *widget = nullptr;
        QLabel *label = nullptr;  // labelled edits only
        bool placedByForm = true; // false: laid out by the advanced face
        bool alwaysVisible = false;
    };

    void createWidget(Binding &b, QWidget *container);
    void layOutAdvanced();
    void update(Binding &b);
    bool writing() const;
    void userAction(const std::function<void()> &action);
    void clickButton(forms::Button &button);

    TBrigantFwTool &form_;
    Face face_;
    QWidget *clientArea_ = nullptr;
    QCheckBox *rehearse_ = nullptr;
    std::map<std::string, Binding> bindings_;
    std::function<void()> afterUserAction_;
    int handlerDepth_ = 0;
    bool closing_ = false;
    // Observers registered on the model outlive the view; they check this first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The controls of the one-button face, which both faces place as the form does.
bool IsOneButtonControl(const std::string &name);

} // namespace brigant::gui
