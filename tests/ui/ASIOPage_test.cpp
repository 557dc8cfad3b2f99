// The ASIO page: bundles regrouped by double click, rows inside a bundle
// locked, and the driver values taken as the fields are edited.
#include "ui/ASIOPage.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/FocusFlush.h"

namespace {
class TFakeDriver : public IASIODriverSettings {
public:
  TFakeDriver(std::string iName, int iChannels) : fName(std::move(iName)), fChannels(iChannels) {}
  std::string Name() const override { return fName; }
  int ChannelCount() const override { return fChannels; }
  std::string ChannelName(int iChannel) const override { return "In " + std::to_string(iChannel + 1); }
  int BufferSize() const override { return fBufferSize; }
  int SampleRate() const override { return fSampleRate; }
  int ThreadCount() const override { return fThreadCount; }
  void SetBufferSize(int iValue) override { fBufferSize = iValue; }
  void SetSampleRate(int iValue) override { fSampleRate = iValue; }
  void SetThreadCount(int iValue) override { fThreadCount = iValue; }

  std::string fName;
  int fChannels;
  int fBufferSize = 0, fSampleRate = 0, fThreadCount = 1;
};

struct Rows {
  QStringList fSizes;
  std::vector<bool> fEnabled;
};

Rows Read(const QTableWidget& iTable) {
  Rows rows;
  for (int r = 0; r < iTable.rowCount(); ++r) {
    rows.fSizes << iTable.item(r, 1)->text();
    rows.fEnabled.push_back(iTable.item(r, 0)->flags() & Qt::ItemIsEnabled);
  }
  return rows;
}
}  // namespace

TEST(ASIOPage, BundleOfThreeOnAFourInputDriver) {
  App();
  std::vector<std::unique_ptr<IASIODriverSettings>> drivers;
  auto* first = new TFakeDriver("Card A", 4);
  drivers.emplace_back(first);
  drivers.emplace_back(new TFakeDriver("Card B", 3));
  std::vector<std::vector<int>> bundles = {{2, 0, 2, 0}, {2, 0, 2}};
  int flushes = 0;
  TFocusFlush flush([&] { ++flushes; }, nullptr);
  TASIOPage page(std::move(drivers), bundles, flush);
  std::vector<std::string> answers;
  int asked = 0;
  page.AskBundleSize = [&](int iCurrent) -> std::optional<std::string> {
    ++asked;
    EXPECT_GE(iCurrent, 1);
    if (answers.empty()) return std::nullopt;
    std::string a = answers.front();
    answers.erase(answers.begin());
    return a;
  };
  EXPECT_EQ(page.tcASIODrivers->count(), 2);
  Rows rows = Read(*page.lvASIOChannels);
  EXPECT_EQ(rows.fSizes, (QStringList{"2", "", "2", ""}));

  answers = {"3"};
  page.EditBundle(0);
  rows = Read(*page.lvASIOChannels);
  EXPECT_EQ(rows.fSizes, (QStringList{"3", "", "", "1"}));
  EXPECT_EQ(rows.fEnabled, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(bundles[0], (std::vector<int>{3, 0, 2, 1})) << "the channel after the bundle became a mono bundle";

  page.EditBundle(1);  // inside the bundle: no question
  EXPECT_EQ(asked, 1);
  answers = {"two"};
  page.EditBundle(3);
  EXPECT_EQ(bundles[0][3], 2) << "text that is no number gives 2";
  page.EditBundle(0);  // cancelled
  EXPECT_EQ(bundles[0][0], 3);

  // The fields write to the driver shown; text that is no number keeps the value.
  page.edASIOBufferSize->setFocus();
  QTest::keyClicks(page.edASIOBufferSize, "256");
  EXPECT_EQ(first->fBufferSize, 256);
  QTest::keyClicks(page.edASIOBufferSize, "x");
  EXPECT_EQ(first->fBufferSize, 256);
  page.tcASIODrivers->setCurrentIndex(1);
  EXPECT_EQ(Read(*page.lvASIOChannels).fSizes, (QStringList{"2", "", "2"}));
  EXPECT_EQ(page.edASIOBufferSize->text(), "0");
}
