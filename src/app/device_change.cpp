#include "app/device_change.h"

#include "app/one_button.h"
#include "forms/ui_services.h"
#include "model/fwupdate.h"

namespace brigant
{

void FormDeviceChange(TBrigantFwTool &form, DeviceChange change)
{
    const bool arrival = change == DeviceChange::Arrival;
    if (arrival && !form.updateRunning)
        ShowOneButtonStatus(form, OneButtonState::Offered);
    Ui().stopTimer(kRefreshTimerId);
    Ui().startTimer(kRefreshTimerId, arrival ? kArrivalSettleMs : kRemovalSettleMs);
}

void FormTimer(TBrigantFwTool &form, int timerId)
{
    Ui().processMessages();
    if (timerId != kRefreshTimerId)
        return;
    Ui().stopTimer(kRefreshTimerId);
    RefreshBtnClick(form);
}

void RegisterDeviceNotifications(TBrigantFwTool &form)
{
    Ui().setTimerHandler([&form](int id) { FormTimer(form, id); });
    form.notificationsRegistered = true;
}

void UnregisterDeviceNotifications(TBrigantFwTool &form)
{
    form.notificationsRegistered = false;
    Ui().stopTimer(kRefreshTimerId);
    Ui().setTimerHandler({});
}

int DeliverDeviceChanges(TBrigantFwTool &form, DeviceChangeSource &source)
{
    return source.poll([&form](DeviceChange change) {
        if (form.notificationsRegistered)
            FormDeviceChange(form, change);
    });
}

} // namespace brigant
