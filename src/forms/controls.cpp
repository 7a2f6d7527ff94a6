#include "forms/controls.h"

#include <algorithm>

namespace brigant::forms
{

const char *ColourName(Colour colour)
{
    switch (colour) {
    case kBlue:
        return "blue";
    case kGreen:
        return "green";
    case kRed:
        return "red";
    default:
        return "black";
    }
}

Control::Control(std::string name, ControlKind kind, std::string caption, Bounds bounds, bool visible,
                 bool enabled)
    : name_(std::move(name)), kind_(kind), caption_(std::move(caption)), bounds_(bounds), visible_(visible),
      enabled_(enabled)
{
}

void Control::changed()
{
    for (auto &observer : observers_)
        observer(*this);
}

void Control::setCaption(const std::string &caption)
{
    if (caption_ == caption)
        return;
    caption_ = caption;
    changed();
}

void Control::setVisible(bool visible)
{
    if (visible_ == visible)
        return;
    visible_ = visible;
    changed();
}

void Control::setEnabled(bool enabled)
{
    if (enabled_ == enabled)
        return;
    enabled_ = enabled;
    changed();
}

void Control::setBounds(const Bounds &bounds)
{
    bounds_ = bounds;
    changed();
}

void Control::setFontColour(Colour colour)
{
    if (fontColour_ == colour)
        return;
    fontColour_ = colour;
    changed();
}

void Button::click()
{
    if (visible() && enabled() && onClick)
        onClick();
}

void CheckBox::setChecked(bool checked)
{
    if (checked_ == checked)
        return;
    checked_ = checked;
    changed();
    if (onClick)
        onClick();
}

void CheckBox::click()
{
    if (enabled())
        setChecked(!checked_);
}

void LabeledEdit::setText(const std::string &text)
{
    if (text_ == text)
        return;
    text_ = text;
    changed();
    if (onChange)
        onChange();
}

void ComboBox::clear()
{
    items_.clear();
    itemIndex_ = -1;
    changed();
}

void ComboBox::addItem(const std::string &item)
{
    items_.push_back(item);
    changed();
}

void ComboBox::setItem(std::size_t index, const std::string &item)
{
    if (index >= items_.size())
        return;
    items_[index] = item;
    changed();
}

void ComboBox::setItemIndex(int index)
{
    itemIndex_ = index >= 0 && index < static_cast<int>(items_.size()) ? index : -1;
    changed();
}

void ComboBox::select(int index)
{
    if (!enabled())
        return;
    setItemIndex(index);
    if (onChange)
        onChange();
}

void ProgressBar::setBusy(bool busy)
{
    if (busy_ == busy)
        return;
    busy_ = busy;
    changed();
}

void ProgressBar::setPosition(int position)
{
    position = std::clamp(position, 0, 100);
    if (position_ == position)
        return;
    position_ = position;
    changed();
}

} // namespace brigant::forms
