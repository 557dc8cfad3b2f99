#include "ui/ConfigureSlot/PluginParametersForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

#include "slot/SlotInfo.h"

namespace {

constexpr int kSliderSteps = 1000;

bool Bounded(const VT_WADSP_CONTROLINFO& iInfo) {
  return (iInfo.flags & VT_WADSP_CONTROL_HASMIN) && (iInfo.flags & VT_WADSP_CONTROL_HASMAX) && iInfo.max > iInfo.min;
}
// Logarithmic controls move the slider by ratios; they need a positive range.
bool Logarithmic(const VT_WADSP_CONTROLINFO& iInfo) {
  return (iInfo.flags & VT_WADSP_CONTROL_LOGARITHMIC) && iInfo.min > 0;
}

int SliderPosition(const VT_WADSP_CONTROLINFO& iInfo, double iValue) {
  double fraction = Logarithmic(iInfo) ? std::log(iValue / iInfo.min) / std::log(double(iInfo.max) / iInfo.min)
                                       : (iValue - iInfo.min) / (double(iInfo.max) - iInfo.min);
  if (!std::isfinite(fraction)) fraction = 0;
  return int(std::lround(std::clamp(fraction, 0.0, 1.0) * kSliderSteps));
}

double SliderValue(const VT_WADSP_CONTROLINFO& iInfo, int iPosition) {
  const double fraction = double(iPosition) / kSliderSteps;
  double value = Logarithmic(iInfo) ? iInfo.min * std::pow(double(iInfo.max) / iInfo.min, fraction)
                                    : iInfo.min + fraction * (double(iInfo.max) - iInfo.min);
  if (iInfo.flags & VT_WADSP_CONTROL_INTEGER) value = std::round(value);
  return std::clamp(value, double(iInfo.min), double(iInfo.max));
}

QString RangeText(const VT_WADSP_CONTROLINFO& iInfo) {
  const QString low = (iInfo.flags & VT_WADSP_CONTROL_HASMIN) ? QString::number(iInfo.min) : QString("-∞");
  const QString high = (iInfo.flags & VT_WADSP_CONTROL_HASMAX) ? QString::number(iInfo.max) : QString("∞");
  return QString("%1 … %2").arg(low, high);
}

}  // namespace

TPluginParametersForm::TPluginParametersForm(QWidget* iOwner, TSlotInfo& iSlotInfo, HDSP iPlugin)
    : QDialog(iOwner), fSlotInfo(iSlotInfo) {
  const char* name = BASS_WADSP_GetName(iPlugin);
  setWindowTitle(QString("%1 - %2").arg(QString::fromStdString(fSlotInfo.Name()), name ? name : "Plug-in"));
  auto* grid = new QGridLayout;
  const DWORD count = VT_WADSP_GetControlCount(iPlugin);
  for (DWORD k = 0; count != DWORD(-1) && k < count; ++k) {
    TRow row;
    if (!VT_WADSP_GetControlInfo(iPlugin, k, &row.fInfo)) continue;
    row.fSymbol = row.fInfo.symbol;
    float current = row.fInfo.def;
    VT_WADSP_GetControl(iPlugin, row.fSymbol.c_str(), &current);
    const int line = int(fRows.size());
    grid->addWidget(new QLabel(QString::fromUtf8(row.fInfo.name)), line, 0);
    grid->addWidget(new QLabel(RangeText(row.fInfo)), line, 1);
    const size_t index = fRows.size();
    if (row.fInfo.flags & VT_WADSP_CONTROL_TOGGLED) {
      row.fSwitch = new QCheckBox;
      row.fSwitch->setChecked(current > 0);
      connect(row.fSwitch, &QCheckBox::toggled, this, [this, index](bool iOn) { Apply(index, iOn ? 1.0 : 0.0); });
      grid->addWidget(row.fSwitch, line, 3);
    } else {
      row.fNumber = new QDoubleSpinBox;
      const bool integer = row.fInfo.flags & VT_WADSP_CONTROL_INTEGER;
      row.fNumber->setDecimals(integer ? 0 : 3);
      const double big = std::numeric_limits<float>::max();
      row.fNumber->setRange((row.fInfo.flags & VT_WADSP_CONTROL_HASMIN) ? row.fInfo.min : -big,
                            (row.fInfo.flags & VT_WADSP_CONTROL_HASMAX) ? row.fInfo.max : big);
      row.fNumber->setSingleStep(Bounded(row.fInfo) && !integer ? (double(row.fInfo.max) - row.fInfo.min) / 100 : 1);
      row.fNumber->setKeyboardTracking(false);  // a value when the typing is done, not per digit
      row.fNumber->setValue(current);
      connect(row.fNumber, &QDoubleSpinBox::valueChanged, this, [this, index](double iValue) { Apply(index, iValue); });
      if (Bounded(row.fInfo)) {
        row.fSlider = new QSlider(Qt::Horizontal);
        row.fSlider->setRange(0, kSliderSteps);
        row.fSlider->setMinimumWidth(200);
        row.fSlider->setValue(SliderPosition(row.fInfo, current));
        connect(row.fSlider, &QSlider::valueChanged, this, [this, index](int iPosition) {
          Apply(index, SliderValue(fRows[index].fInfo, iPosition));
        });
        grid->addWidget(row.fSlider, line, 2);
      }
      grid->addWidget(row.fNumber, line, 3);
    }
    fRows.push_back(std::move(row));
  }
  if (fRows.empty()) grid->addWidget(new QLabel("This plug-in has no settings."), 0, 0);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(buttons);
}

const TPluginParametersForm::TRow* TPluginParametersForm::Row(const std::string& iSymbol) const {
  for (const TRow& row : fRows)
    if (row.fSymbol == iSymbol) return &row;
  return nullptr;
}

void TPluginParametersForm::Apply(size_t iRow, double iValue) {
  if (fUpdating) return;
  TRow& row = fRows[iRow];
  // The slot sets the running plug-in and keeps the value; a refusal is logged there.
  fSlotInfo.SetWinampPluginParameter(row.fSymbol, float(iValue));
  fUpdating = true;
  if (row.fNumber) row.fNumber->setValue(iValue);
  if (row.fSlider) row.fSlider->setValue(SliderPosition(row.fInfo, iValue));
  fUpdating = false;
}

BOOL TPluginParametersForm::ConfigProc(HDSP iPlugin, void* iUser) {
  if (!iUser) return FALSE;
  TPluginParametersForm form(QApplication::activeWindow(), *static_cast<TSlotInfo*>(iUser), iPlugin);
  form.exec();
  return TRUE;
}
