// The slot grid as the user works it: layout, focus on cells, the buttons in
// the focused tile, the context menu's states, row heights and the pictures.
#include "ui/SlotGrid.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "UiTestSupport.h"

namespace {
class SlotGridTest : public ::testing::Test {
protected:
  void Make(int iSlots, int iColumns, QSize iSize = {600, 500}) {
    App();
    fTiles = std::make_unique<TFakeTiles>(iSlots);
    fGrid = std::make_unique<TSlotGrid>(*fTiles);
    fGrid->resize(iSize);
    fGrid->SetColumnCount(iColumns);
    fGrid->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fGrid.get()));
    fGrid->activateWindow();
    fGrid->setFocus();
  }
  QPoint CellCentre(int iRow, int iColumn) const { return fGrid->CellRect(iRow, iColumn).center(); }

  std::unique_ptr<TFakeTiles> fTiles;
  std::unique_ptr<TSlotGrid> fGrid;
};
}  // namespace

TEST_F(SlotGridTest, FiveSlotsInTwoColumnsLeaveOneEmptyCellThatRefusesFocus) {
  Make(5, 2);
  EXPECT_EQ(fGrid->RowCount(), 3);
  QTest::mouseClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(1, 1));
  EXPECT_EQ(fGrid->FocusedSlot(), 3);
  QTest::mouseClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(2, 1));
  EXPECT_EQ(fGrid->FocusedSlot(), 3) << "the empty cell refused the focus";
  QTest::keyClick(fGrid.get(), Qt::Key_Down);
  EXPECT_EQ(fGrid->FocusedSlot(), 3) << "nor can the keys reach it";
  QTest::keyClick(fGrid.get(), Qt::Key_Left);
  QTest::keyClick(fGrid.get(), Qt::Key_Down);
  EXPECT_EQ(fGrid->FocusedSlot(), 4);
}

TEST_F(SlotGridTest, ColumnCountStaysWithinOneAndTheSlotsAndTheMenuFollows) {
  Make(3, 1);
  int layoutChanges = 0;
  fGrid->OnLayoutChanged = [&] { ++layoutChanges; };
  struct Step {
    std::function<void()> fDo;
    int fColumns;
    bool fIncrease, fDecrease;
  };
  const Step steps[] = {
      {[] {}, 1, true, false},
      {[&] { fGrid->PopupMenu()->actions(); fGrid->IncreaseAction()->trigger(); }, 2, true, true},
      {[&] { fGrid->IncreaseAction()->trigger(); }, 3, false, true},
      {[&] { fGrid->SetColumnCount(9); }, 3, false, true},
      {[&] { fGrid->SetColumnCount(0); }, 1, true, false},
      {[&] { fGrid->SetColumnCount(-4); }, 1, true, false},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    steps[i].fDo();
    fGrid->PopupMenu();
    EXPECT_EQ(fGrid->ColumnCount(), steps[i].fColumns) << "step " << i;
    EXPECT_EQ(fGrid->IncreaseAction()->isEnabled(), steps[i].fIncrease) << "step " << i;
    EXPECT_EQ(fGrid->DecreaseAction()->isEnabled(), steps[i].fDecrease) << "step " << i;
  }
  EXPECT_GE(layoutChanges, 4) << "each change reaches the next settings flush";
}

TEST_F(SlotGridTest, AutoSizeSharesTheViewHeightAndTheFocusedRowGrows) {
  Make(4, 1, {500, 404});
  EXPECT_EQ(fGrid->RowHeight(0), 90);
  fGrid->AutoSizeAction()->trigger();
  ASSERT_TRUE(fGrid->VerticalAutoSize());
  for (int r = 0; r < 4; ++r) EXPECT_EQ(fGrid->RowHeight(r), 100) << r;
  QTest::mouseClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(2, 0));
  EXPECT_EQ(fGrid->RowHeight(2), 120);
  EXPECT_EQ(fGrid->RowHeight(0), 100);
  fGrid->AutoSizeAction()->trigger();
  EXPECT_EQ(fGrid->RowHeight(2), 120);
  EXPECT_EQ(fGrid->RowHeight(0), 90);
}

TEST_F(SlotGridTest, ButtonsSitInTheFocusedTileAndEscapeTakesThemAway) {
  Make(4, 2, {700, 500});
  EXPECT_FALSE(fGrid->SettingsButton()->isVisible());
  fGrid->PopupMenu();
  EXPECT_FALSE(fGrid->OpenFolderAction()->isEnabled());

  QTest::mouseClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(1, 1));
  ASSERT_EQ(fGrid->FocusedSlot(), 3);
  const QRect cell = fGrid->CellRect(1, 1);
  const int right = cell.x() + cell.width(), bottom = cell.y() + cell.height();
  EXPECT_EQ(fGrid->SettingsButton()->geometry(), QRect(cell.x() + 58, bottom - 30, 100, 25));
  EXPECT_EQ(fGrid->StartButton()->geometry(), QRect(right - 208, bottom - 30, 100, 25));
  EXPECT_EQ(fGrid->StopButton()->geometry(), QRect(right - 104, bottom - 30, 100, 25));
  EXPECT_TRUE(fGrid->StopButton()->isVisible());
  fGrid->PopupMenu();
  EXPECT_TRUE(fGrid->OpenFolderAction()->isEnabled());
  std::string opened;
  fGrid->OnOpenFolder = [&](const std::string& iFolder) { opened = iFolder; };
  fGrid->OpenFolderAction()->trigger();
  EXPECT_EQ(opened, "/rec/3");

  QTest::keyClick(fGrid.get(), Qt::Key_Escape);
  EXPECT_EQ(fGrid->FocusedSlot(), -1);
  EXPECT_FALSE(fGrid->SettingsButton()->isVisible());
  EXPECT_FALSE(fGrid->StartButton()->isVisible());
  EXPECT_FALSE(fGrid->StopButton()->isVisible());
  fGrid->PopupMenu();
  EXPECT_FALSE(fGrid->OpenFolderAction()->isEnabled());
}

TEST_F(SlotGridTest, StartAndStopFollowTheSourceAndTheEnabledState) {
  Make(3, 3);
  struct Case {
    TRecordSource fSource;
    bool fEnabled;
    bool fStart, fStop;
  };
  const Case cases[] = {{rsDisabled, true, false, false}, {rsDisabled, false, false, false},
                        {rsSoundcard, true, false, true}, {rsStream, false, true, false}};
  for (const Case& c : cases) {
    fTiles->fTiles[1].fRecordSource = c.fSource;
    fTiles->fTiles[1].fEnabled = c.fEnabled;
    fGrid->ClearFocus();
    QTest::mouseClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(0, 1));
    EXPECT_EQ(fGrid->StartButton()->isEnabled(), c.fStart) << c.fSource << c.fEnabled;
    EXPECT_EQ(fGrid->StopButton()->isEnabled(), c.fStop) << c.fSource << c.fEnabled;
  }
  // Stop of an enabled sound-card slot asks for it and turns the buttons.
  fTiles->fTiles[1].fRecordSource = rsSoundcard;
  fTiles->fTiles[1].fEnabled = true;
  fGrid->UpdateSlotButtons();
  QTest::mouseClick(fGrid->StopButton(), Qt::LeftButton);
  ASSERT_EQ(fTiles->fEnableRequests.size(), 1u);
  EXPECT_EQ(fTiles->fEnableRequests[0], std::make_pair(1, false));
  EXPECT_TRUE(fGrid->StartButton()->isEnabled());
  EXPECT_FALSE(fGrid->StopButton()->isEnabled());
}

TEST_F(SlotGridTest, DoubleClickAndSettingsOpenTheFocusedSlot) {
  Make(3, 2);
  std::vector<int> opened;
  fGrid->OnOpenSettings = [&](int iSlot) { opened.push_back(iSlot); };
  QTest::mouseDClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(1, 1));  // empty cell
  EXPECT_TRUE(opened.empty());
  QTest::mouseDClick(fGrid->viewport(), Qt::LeftButton, {}, CellCentre(1, 0));
  QTest::mouseClick(fGrid->SettingsButton(), Qt::LeftButton);
  EXPECT_EQ(opened, (std::vector<int>{2, 2}));
}

TEST_F(SlotGridTest, TilesShowTheirStatusPictureAndMeters) {
  Make(3, 3, {900, 300});
  // Recording (green light), stopped (red light), no device (warning sign).
  for (auto& t : fTiles->fTiles) {
    t.fRecordSource = rsSoundcard;
    t.fHasDevice = true;
    t.fDeviceName = "in";
    t.fEnabled = true;
    t.fHasEncoder = true;
  }
  fTiles->fTiles[0].fLevelLeft = 1.5f;
  fTiles->fTiles[1].fHasEncoder = false;
  fTiles->fTiles[1].fEnabled = false;
  fTiles->fTiles[2].fHasDevice = false;
  fGrid->clearFocus();
  const QImage shot = fGrid->viewport()->grab().toImage();
  // The picture fills (L + 2, T + 12) to (L + 50, T + 60).
  auto picture = [&](int iColumn, int iX, int iY) {
    const QRect cell = fGrid->CellRect(0, iColumn);
    return shot.pixelColor(cell.x() + 2 + iX, cell.y() + 12 + iY);
  };
  const QColor ok = picture(0, 24, 24), stopped = picture(1, 24, 24), error = picture(2, 14, 38);
  EXPECT_GT(ok.green(), 150);
  EXPECT_LT(ok.red(), 120);
  EXPECT_GT(stopped.red(), 150);
  EXPECT_LT(stopped.green(), 80);
  EXPECT_GT(error.red(), 200);
  EXPECT_GT(error.green(), 150);
  EXPECT_LT(error.blue(), 80);
  // The first tile's left meter is full and red; its peak became the display level.
  const QRect cell = fGrid->CellRect(0, 0);
  const int right = cell.x() + cell.width() - 1;
  EXPECT_EQ(shot.pixelColor(right - 31, cell.y() + 10), QColor(255, 0, 0));
  EXPECT_FLOAT_EQ(fTiles->fTiles[0].fCurrentLevelLeft, 1.5f);
}
