#include "cli/window_view.h"
#include "cli/message_boxes.h"

#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/selection.h"
#include "app/settings.h"
#include "common/clock.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"

#include <algorithm>
#include <memory>

namespace brigant::cli
{

namespace
{

std::string FieldLine(const forms::LabeledEdit &edit)
{
    std::string label = edit.name() + " (\"" + edit.caption() + "\")";
    label.resize(std::max<std::size_t>(label.size() + 1, 40), ' ');
    return "  " + label + (edit.text().empty() ? "" : "\"" + edit.text() + "\"") +
           (edit.visible() ? "" : "  [hidden]") + "\n";
}

} // namespace

WindowFieldsView ViewWindowFields(const DeviceEntry &entry, const std::string &item)
{
    MessageBoxes boxes(nullptr, nullptr);
    auto window = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*window);
    TBrigantFwTool &form = *window;
    form.includeNvram = 1;
    form.repairBankOnSelect = false; // a view: a damaged bank is told, not repaired
    WindowFieldsView view;
    // The texts the status line shows on the way (progress dots folded into their line).
    form.StatusEdit.addObserver([&](forms::Control &) {
        const std::string &text = form.StatusEdit.text();
        std::vector<std::string> &texts = view.statusTexts;
        if (!texts.empty() && text.size() > texts.back().size() &&
            text.compare(0, texts.back().size(), texts.back()) == 0)
            texts.back() = text;
        else if (!text.empty())
            texts.push_back(text);
    });
    form.devices[0] = entry;
    form.devices[0].busy.clear(); // the selection handler asks again
    form.DeviceList.addItem(item);
    form.candidateCount = 1;
    form.listedCount = 1;
    form.DeviceList.setEnabled(true);
    form.DeviceList.setItemIndex(0);
    UpdateBtnCheck(form);

    view.text = "Window:\n";
    view.fields = nlohmann::json::object();
    for (const forms::LabeledEdit *edit : {&form.ChipLabelEdit, &form.FwVerLableEdit, &form.SFlashTypeLable,
                                           &form.DiskLetterLable, &form.StatusEdit}) {
        view.text += FieldLine(*edit);
        view.fields[edit->name()] = {
            {"caption", edit->caption()}, {"text", edit->text()}, {"shown", edit->visible()}};
    }
    for (const forms::CheckBox *box : {&form.NVRAMCheck, &form.ReadWriteBufferChk, &form.SetPrdSNchk}) {
        if (!box->visible())
            continue;
        view.text += "  " + box->name() + " (\"" + box->caption() + "\")  [" + (box->checked() ? "x" : " ") +
                     "]" + (box->enabled() ? "" : " disabled") + "\n";
    }
    return view;
}

WindowListView ViewWindowList()
{
    MessageBoxes boxes(nullptr, nullptr);
    auto window = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*window);
    TBrigantFwTool &form = *window;
    form.repairBankOnSelect = false; // a view: a damaged bank is told, not repaired
    ReadSettings(form.settings);
    RefreshBtnClick(form);
    WindowListView view;
    // Item 0 is selected and identified by the refresh; the others are chosen in turn.
    for (int i = 0; i < form.listedCount; ++i) {
        if (i > 0) {
            form.DeviceList.setItemIndex(i);
            UpdateBtnCheck(form);
        }
        view.statuses.push_back(form.StatusEdit.text());
    }
    view.listEnabled = form.DeviceList.enabled();
    view.candidateCount = form.candidateCount;
    view.statusLine = form.devpnl.caption();
    view.statusLineColour = form.devpnl.fontColour();
    return view;
}

} // namespace brigant::cli
