#include "ui/ASIOPage.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTabBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <stdexcept>

#include "audio/AudioDevices.h"
#include "ui/FocusFlush.h"

namespace {
class TCatalogueDriver : public IASIODriverSettings {
public:
  explicit TCatalogueDriver(TASIODeviceInfo& iDriver) : fDriver(iDriver) {}
  std::string Name() const override { return fDriver.Name(); }
  int ChannelCount() const override { return fDriver.ChannelCount(); }
  std::string ChannelName(int iChannel) const override { return fDriver.GetChannelName(iChannel); }
  int BufferSize() const override { return fDriver.BufferSize(); }
  int SampleRate() const override { return fDriver.SampleRate(); }
  int ThreadCount() const override { return fDriver.ThreadCount(); }
  void SetBufferSize(int iValue) override { fDriver.SetBufferSize(iValue); }
  void SetSampleRate(int iValue) override { fDriver.SetSampleRate(iValue); }
  void SetThreadCount(int iValue) override { fDriver.SetThreadCount(iValue); }

private:
  TASIODeviceInfo& fDriver;
};

// A whole number as the fields take it; nothing for other text.
std::optional<int> WholeNumber(const QString& iText) {
  bool ok = false;
  const int value = iText.trimmed().toInt(&ok);
  return ok ? std::optional<int>(value) : std::nullopt;
}
}  // namespace

std::vector<std::unique_ptr<IASIODriverSettings>> CatalogueASIODrivers() {
  std::vector<std::unique_ptr<IASIODriverSettings>> drivers;
  if (!AudioDevicesBuilt()) return drivers;
  for (const auto& driver : AudioDevices().ASIODevices()) drivers.push_back(std::make_unique<TCatalogueDriver>(*driver));
  return drivers;
}

TASIOPage::TASIOPage(std::vector<std::unique_ptr<IASIODriverSettings>> iDrivers,
                     std::vector<std::vector<int>>& iBundles, TFocusFlush& iFlush, QWidget* iParent)
    : QWidget(iParent), fDrivers(std::move(iDrivers)), fBundles(iBundles) {
  auto* text = new QLabel(
      "This page allows you to modify the default stereo channel bundling for ASIO input. Double click a line to "
      "edit the bundle size, then enter 1 for mono, 2 for stereo etc. The changes will be active after a restart of "
      "the software.",
      this);
  text->setWordWrap(true);
  tcASIODrivers = new QTabBar(this);
  tcASIODrivers->setObjectName("tcASIODrivers");
  for (const auto& driver : fDrivers) tcASIODrivers->addTab(QString::fromStdString(driver->Name()));
  lvASIOChannels = new QTableWidget(0, 2, this);
  lvASIOChannels->setObjectName("lvASIOChannels");
  lvASIOChannels->setHorizontalHeaderLabels({"Channel", "Bundle size"});
  lvASIOChannels->setColumnWidth(0, 300);
  lvASIOChannels->setColumnWidth(1, 120);
  lvASIOChannels->verticalHeader()->hide();
  lvASIOChannels->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvASIOChannels->setEditTriggers(QAbstractItemView::NoEditTriggers);

  auto field = [&](const char* iName) {
    auto* e = new QLineEdit(this);
    e->setObjectName(iName);
    iFlush.Watch(e);
    return e;
  };
  edASIOBufferSize = field("edASIOBufferSize");
  edASIOSampleRate = field("edASIOSampleRate");
  edASIOThreads = field("edASIOThreads");
  auto* panel = new QFormLayout;
  auto row = [&](const char* iLabel, QLineEdit* iEdit, const char* iHint) {
    auto* line = new QHBoxLayout;
    line->addWidget(iEdit);
    line->addWidget(new QLabel(iHint, this));
    panel->addRow(iLabel, line);
  };
  row("Buffer size:", edASIOBufferSize, "0 = use driver setting");
  row("Force sample rate:", edASIOSampleRate, "0 = use slot setting");
  row("Update threads:", edASIOThreads, "1 = default");

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(tcASIODrivers);
  layout->addWidget(lvASIOChannels, 1);
  layout->addLayout(panel);

  connect(tcASIODrivers, &QTabBar::currentChanged, this, [this](int i) { ShowDriver(i); });
  connect(lvASIOChannels, &QTableWidget::cellDoubleClicked, this, [this](int iRow, int) { EditBundle(iRow); });
  auto store = [this](QLineEdit* iEdit, void (IASIODriverSettings::*iSet)(int)) {
    connect(iEdit, &QLineEdit::textEdited, this, [this, iSet](const QString& t) {
      IASIODriverSettings* driver = Current();
      if (!driver) return;
      if (const auto value = WholeNumber(t)) (driver->*iSet)(*value);
    });
  };
  store(edASIOBufferSize, &IASIODriverSettings::SetBufferSize);
  store(edASIOSampleRate, &IASIODriverSettings::SetSampleRate);
  store(edASIOThreads, &IASIODriverSettings::SetThreadCount);

  AskBundleSize = [this](int iCurrent) -> std::optional<std::string> {
    bool ok = false;
    const QString text = QInputDialog::getText(this, "Bundle size", "Enter bundle size:", QLineEdit::Normal,
                                               QString::number(iCurrent), &ok);
    if (!ok) return std::nullopt;
    return text.toStdString();
  };
  ShowDriver(tcASIODrivers->currentIndex());
}

TASIOPage::~TASIOPage() = default;

IASIODriverSettings* TASIOPage::Current() const {
  const int i = tcASIODrivers->currentIndex();
  return i >= 0 && i < static_cast<int>(fDrivers.size()) ? fDrivers[i].get() : nullptr;
}

void TASIOPage::ShowDriver(int iDriver) {
  IASIODriverSettings* driver = Current();
  if (iDriver < 0 || !driver || iDriver >= static_cast<int>(fBundles.size())) {
    lvASIOChannels->setRowCount(0);
    return;
  }
  edASIOBufferSize->setText(QString::number(driver->BufferSize()));
  edASIOSampleRate->setText(QString::number(driver->SampleRate()));
  edASIOThreads->setText(QString::number(driver->ThreadCount()));
  const int channels = driver->ChannelCount();
  lvASIOChannels->setRowCount(channels);
  for (int c = 0; c < channels; ++c) {
    lvASIOChannels->setItem(c, 0, new QTableWidgetItem(QString::fromStdString(driver->ChannelName(c))));
    lvASIOChannels->setItem(c, 1, new QTableWidgetItem);
  }
  UpdateASIOBundleRows();
}

void TASIOPage::UpdateASIOBundleRows() {
  const int driver = tcASIODrivers->currentIndex();
  if (driver < 0 || driver >= static_cast<int>(fBundles.size())) return;
  std::vector<int>& bundles = fBundles[driver];
  const int rows = std::min<int>(lvASIOChannels->rowCount(), static_cast<int>(bundles.size()));
  int c = 0;
  while (c < rows) {
    if (bundles[c] <= 0) bundles[c] = 1;
    const int size = bundles[c];
    for (int k = 0; k < size && c + k < rows; ++k) {
      const bool start = k == 0;
      for (int col = 0; col < 2; ++col) {
        QTableWidgetItem* item = lvASIOChannels->item(c + k, col);
        item->setFlags(start ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags);
      }
      lvASIOChannels->item(c + k, 1)->setText(start ? QString::number(size) : QString());
    }
    c += size;
  }
}

void TASIOPage::EditBundle(int iRow) {
  const int driver = tcASIODrivers->currentIndex();
  if (driver < 0 || driver >= static_cast<int>(fBundles.size())) return;
  if (iRow < 0 || iRow >= lvASIOChannels->rowCount() || iRow >= static_cast<int>(fBundles[driver].size())) return;
  if (!(lvASIOChannels->item(iRow, 0)->flags() & Qt::ItemIsEnabled)) return;  // inside a bundle
  const auto answer = AskBundleSize(fBundles[driver][iRow]);
  if (!answer) return;
  fBundles[driver][iRow] = WholeNumber(QString::fromStdString(*answer)).value_or(2);
  ShowDriver(driver);
}
