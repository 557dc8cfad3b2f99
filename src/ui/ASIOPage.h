#pragma once
// The "ASIO" tab: one tab per driver with its input channels and the bundle
// sizes the operator may change (they take effect at the next start), and the
// driver's buffer size, forced sample rate and update threads.
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLineEdit;
class QTabBar;
class QTableWidget;
class TFocusFlush;

// One driver as the page sees it.
class IASIODriverSettings {
public:
  virtual ~IASIODriverSettings() = default;
  virtual std::string Name() const = 0;
  virtual int ChannelCount() const = 0;
  virtual std::string ChannelName(int iChannel) const = 0;
  virtual int BufferSize() const = 0;
  virtual int SampleRate() const = 0;
  virtual int ThreadCount() const = 0;
  virtual void SetBufferSize(int iValue) = 0;
  virtual void SetSampleRate(int iValue) = 0;
  virtual void SetThreadCount(int iValue) = 0;
};

// The drivers of the device catalogue (none when the process has no catalogue).
std::vector<std::unique_ptr<IASIODriverSettings>> CatalogueASIODrivers();

class TASIOPage : public QWidget {
public:
  // iBundles: the working copy, one array per driver, owned by the controller.
  TASIOPage(std::vector<std::unique_ptr<IASIODriverSettings>> iDrivers, std::vector<std::vector<int>>& iBundles,
            TFocusFlush& iFlush, QWidget* iParent = nullptr);
  ~TASIOPage() override;

  void ShowDriver(int iDriver);  // selecting a tab
  void UpdateASIOBundleRows();
  // A double click on a row: asks for the size unless the row is disabled.
  void EditBundle(int iRow);

  // The input box "Bundle size" / "Enter bundle size:"; empty: cancelled.
  std::function<std::optional<std::string>(int iCurrent)> AskBundleSize;

  QTabBar* tcASIODrivers = nullptr;
  QTableWidget* lvASIOChannels = nullptr;
  QLineEdit* edASIOBufferSize = nullptr;
  QLineEdit* edASIOSampleRate = nullptr;
  QLineEdit* edASIOThreads = nullptr;

private:
  IASIODriverSettings* Current() const;
  std::vector<std::unique_ptr<IASIODriverSettings>> fDrivers;
  std::vector<std::vector<int>>& fBundles;
};
