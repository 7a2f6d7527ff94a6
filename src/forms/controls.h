#pragma once
// Framework-free window controls: each holds the state a real widget would
// show (caption, text, visibility, position, ...) and tells its observers when
// that state changes. The program's handlers work on these; a view (Qt, or a
// test) mirrors them into real widgets.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brigant::forms
{

enum class ControlKind { Panel, Button, CheckBox, LabeledEdit, ComboBox, Label, ProgressBar };

// Colour values as the window framework stores them: 0x00BBGGRR.
using Colour = std::uint32_t;
constexpr Colour kBlue = 0xFF0000;
constexpr Colour kGreen = 0x008000;
constexpr Colour kRed = 0x0000FF;
constexpr Colour kBlack = 0x000000;
// "blue", "green", "red" or "black" for any other colour.
const char *ColourName(Colour colour);

struct Bounds {
    int left = 0, top = 0, width = 0, height = 0;
};

class Control
{
  public:
    Control(std::string name, ControlKind kind, std::string caption, Bounds bounds, bool visible = true,
            bool enabled = true);
    virtual ~Control() = default;
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;

    const std::string &name() const { return name_; }
    ControlKind kind() const { return kind_; }

    const std::string &caption() const { return caption_; }
    void setCaption(const std::string &caption);
    bool visible() const { return visible_; }
    void setVisible(bool visible);
    void show() { setVisible(true); }
    void hide() { setVisible(false); }
    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }
    const Bounds &bounds() const { return bounds_; }
    void setBounds(const Bounds &bounds);
    Colour fontColour() const { return fontColour_; }
    void setFontColour(Colour colour);
    Control *parent() const { return parent_; }
    void setParent(Control *parent) { parent_ = parent; }

    // Views register here; called after every state change.
    void addObserver(std::function<void(Control &)> observer) { observers_.push_back(std::move(observer)); }

  protected:
    void changed();

  private:
    std::string name_;
    ControlKind kind_;
    std::string caption_;
    Bounds bounds_;
    bool visible_;
    bool enabled_;
    int tag_ = 0;
    Colour fontColour_ = kBlack;
    Control *parent_ = nullptr;
    std::vector<std::function<void(Control &)>> observers_;
};

class Button : public Control
{
  public:
    Button(std::string name, std::string caption, Bounds bounds, bool visible = true, bool enabled = true)
        : Control(std::move(name), ControlKind::Button, std::move(caption), bounds, visible, enabled)
    {
    }
    std::function<void()> onClick;
    // What a user's click does: nothing when the button is hidden or disabled.
    void click();
};

class CheckBox : public Control
{
  public:
    CheckBox(std::string name, std::string caption, Bounds bounds, bool checked = false, bool visible = true)
        : Control(std::move(name), ControlKind::CheckBox, std::move(caption), bounds, visible),
          checked_(checked)
    {
    }
    bool checked() const { return checked_; }
    // Setting the state from code runs the click handler, as the framework does.
    void setChecked(bool checked);
    std::function<void()> onClick;
    void click(); // a user's click: toggles and runs the handler

  private:
    bool checked_;
};

// A read-only or editable one-line edit with a label (the label is the caption).
class LabeledEdit : public Control
{
  public:
    LabeledEdit(std::string name, std::string label, Bounds bounds, bool readOnly, bool visible = true)
        : Control(std::move(name), ControlKind::LabeledEdit, std::move(label), bounds, visible),
          readOnly_(readOnly)
    {
    }
    const std::string &text() const { return text_; }
    // Runs onChange when the text really changes, as the framework's change event does.
    void setText(const std::string &text);
    bool readOnly() const { return readOnly_; }
    std::string hint;
    std::function<void()> onChange;

  private:
    std::string text_;
    bool readOnly_;
};

// A drop-down list.
class ComboBox : public Control
{
  public:
    ComboBox(std::string name, Bounds bounds, bool visible = true)
        : Control(std::move(name), ControlKind::ComboBox, "", bounds, visible)
    {
    }
    const std::vector<std::string> &items() const { return items_; }
    void clear();
    void addItem(const std::string &item);
    // Replaces the text of item `index` (nothing when there is none).
    void setItem(std::size_t index, const std::string &item);
    int itemIndex() const { return itemIndex_; }
    // Selecting from code does not run onChange; a user's selection does (select()).
    void setItemIndex(int index);
    void select(int index);
    std::function<void()> onChange;

  private:
    std::vector<std::string> items_;
    int itemIndex_ = -1;
};

class Label : public Control
{
  public:
    Label(std::string name, std::string caption, Bounds bounds, bool visible = true)
        : Control(std::move(name), ControlKind::Label, std::move(caption), bounds, visible)
    {
    }
    int fontSize = 8;
    std::string fontName = "MS Sans Serif";
};

class Panel : public Control
{
  public:
    Panel(std::string name, std::string caption, Bounds bounds, bool visible = true)
        : Control(std::move(name), ControlKind::Panel, std::move(caption), bounds, visible)
    {
    }
    int fontSize = 8;
    bool bordered = true;
};

class ProgressBar : public Control
{
  public:
    ProgressBar(std::string name, Bounds bounds, int step = 10, bool visible = true)
        : Control(std::move(name), ControlKind::ProgressBar, "", bounds, visible), step_(step)
    {
    }
    int position() const { return position_; }
    void setPosition(int position); // clamped to 0..100
    void stepIt() { setPosition(position_ + step_); }
    int step() const { return step_; }
    // Busy: the bar moves to and fro instead of showing a position (a wait
    // whose end is not known).
    bool busy() const { return busy_; }
    void setBusy(bool busy);

  private:
    int position_ = 0;
    bool busy_ = false;
    int step_;
};

// The file-open dialog's settings; showing it is a UI service.
struct OpenDialog {
    std::string name = "OpenDialog1";
    std::string defaultExt = "bin";
    std::string filter = "BinaryFile|*.bin|All Files|*.*|VKT Files|*.vkt";
    std::string initialDir;
    std::string fileName;
};

} // namespace brigant::forms
