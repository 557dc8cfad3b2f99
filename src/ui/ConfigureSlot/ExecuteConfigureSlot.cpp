#include "ui/ConfigureSlot/ExecuteConfigureSlot.h"

#include "audio/AudioDevices.h"
#include "controller/LoggerMain.h"
#include "slot/SlotInfo.h"
#include "ui/ConfigureSlot/ConfigureSlot.h"

bool ExecuteConfigureSlot(TLoggerMain& iController, int iSlotIndex, QWidget* iParent) {
  if (iSlotIndex < 0 || iSlotIndex >= iController.SlotCount()) return false;
  const TDeviceList* devices = AudioDevicesBuilt() ? &AudioDevices().DeviceList() : nullptr;
  TConfigureSlotForm form(iParent, iController.Slot(iSlotIndex), devices);
  if (form.exec() != QDialog::Accepted) return false;
  iController.ApplySlotSettings(iSlotIndex, form.InputOptionsChanged(), form.OutputOptionsChanged());
  return true;
}
