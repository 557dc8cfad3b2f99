#pragma once
// The settings window of a slot's DSP plug-in: one row per control input of
// the loaded plug-in with its name, range, a slider and a number. A change
// goes to the running plug-in at once and is kept in the slot, so the
// settings file has it at the next flush and the next load applies it.
#include <QDialog>
#include <string>
#include <vector>

#include "audio/engine/Engine.h"

class QCheckBox;
class QDoubleSpinBox;
class QSlider;
class TSlotInfo;

class TPluginParametersForm : public QDialog {
public:
  TPluginParametersForm(QWidget* iOwner, TSlotInfo& iSlotInfo, HDSP iPlugin);

  struct TRow {
    std::string fSymbol;
    VT_WADSP_CONTROLINFO fInfo{};
    QSlider* fSlider = nullptr;        // nullptr for a switch or an unbounded control
    QDoubleSpinBox* fNumber = nullptr;  // nullptr for a switch
    QCheckBox* fSwitch = nullptr;       // toggled controls only
  };
  const std::vector<TRow>& Rows() const { return fRows; }
  // The row of a control symbol; nullptr when the plug-in has none.
  const TRow* Row(const std::string& iSymbol) const;

  // The engine's configuration hook: shows the window for iPlugin modally;
  // iUser is the slot that holds the plug-in.
  static BOOL ConfigProc(HDSP iPlugin, void* iUser);

private:
  void Apply(size_t iRow, double iValue);

  TSlotInfo& fSlotInfo;
  std::vector<TRow> fRows;
  bool fUpdating = false;  // slider and number following each other
};
