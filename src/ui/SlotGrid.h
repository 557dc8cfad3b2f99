#pragma once
// The "Slots" tab: every slot as a tile in a grid of fColumnCount columns,
// focus per cell (empty cells refuse it), the Settings/Start/Stop buttons in
// the focused tile, the context menu and the level meters that fall back
// between peaks. The grid reads the slots through ITileSource and changes
// nothing in them but the two display levels.
#include <QAbstractScrollArea>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/SlotTile.h"
#include "ui/StatusImages.h"

class QAction;
class QMenu;
class QPainter;
class QPushButton;

class ITileSource {
public:
  virtual ~ITileSource() = default;
  virtual int SlotCount() const = 0;
  virtual TTileData ReadTile(int iIndex) const = 0;
  virtual void StoreDisplayLevels(int iIndex, float iLeft, float iRight) = 0;
  virtual std::string Folder(int iIndex) const = 0;
  // Start or Stop of the focused tile; the grid updates its buttons when
  // told by SlotStateChanged.
  virtual void SetSlotEnabled(int iIndex, bool iEnabled) = 0;
  virtual uint64_t TickCount() const = 0;
};

class TSlotGrid : public QAbstractScrollArea {
public:
  static constexpr int kTimerInterval = 100;  // the controller's repaint tick

  TSlotGrid(ITileSource& iSource, QWidget* iParent = nullptr);
  ~TSlotGrid() override;

  void SetColumnCount(int iCount);
  int ColumnCount() const { return fColumnCount; }
  int RowCount() const;
  int GetRowHeight(bool iContainsFocus) const;
  int RowHeight(int iRow) const { return fRowHeights.at(iRow); }
  void SetVerticalAutoSize(bool iOn);
  bool VerticalAutoSize() const { return fVerticalAutoSize; }

  // The focus change of a click or a key: false (and nothing changed) for a
  // cell without a slot. iRow < 0 clears the focus.
  bool FocusCell(int iRow, int iColumn);
  void ClearFocus();  // Escape
  int FocusedSlot() const { return fFocusedSlot; }
  // The cell rectangle in viewport coordinates.
  QRect CellRect(int iRow, int iColumn) const;

  void UpdateSlotButtons();
  void PositionSlotButtons();
  // The slot's Enabled changed (a request of the buttons or of the web).
  void SlotStateChanged(int iIndex);
  // The context menu's entries with their enabled states of this moment.
  QMenu* PopupMenu();

  QPushButton* SettingsButton() const { return btnSettings; }
  QPushButton* StartButton() const { return btnStart; }
  QPushButton* StopButton() const { return btnStop; }
  QAction* OpenFolderAction() const { return actOpenFolder; }
  QAction* IncreaseAction() const { return actIncrease; }
  QAction* DecreaseAction() const { return actDecrease; }
  QAction* AutoSizeAction() const { return actAutoSize; }

  float LevelFactor() const { return fLevelFactor; }
  // One repaint of every row (the paint event's work), onto any device of the
  // viewport's size.
  void PaintTiles(QPainter& iPainter);

  // "Settings..." and a double click, with the focused slot.
  std::function<void(int iSlotIndex)> OnOpenSettings;
  // Column count or auto-size changed (the next settings flush stores them).
  std::function<void()> OnLayoutChanged;
  // "Open Output Folder"; empty: the desktop's file manager.
  std::function<void(const std::string& iFolder)> OnOpenFolder;

protected:
  void paintEvent(QPaintEvent* iEvent) override;
  void resizeEvent(QResizeEvent* iEvent) override;
  void mousePressEvent(QMouseEvent* iEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* iEvent) override;
  void keyPressEvent(QKeyEvent* iEvent) override;
  void contextMenuEvent(QContextMenuEvent* iEvent) override;
  void focusInEvent(QFocusEvent* iEvent) override;
  void focusOutEvent(QFocusEvent* iEvent) override;
  void scrollContentsBy(int iDx, int iDy) override;

private:
  void InitRows();
  void UpdateScrollRange();
  int RowTop(int iRow) const;
  int ColumnWidth() const;
  bool CellAt(const QPoint& iViewportPos, int& oRow, int& oColumn) const;
  void OpenSettings();
  void UpdatePopupMenu();

  ITileSource& fSource;
  TStatusImages fImages;
  const int fDefaultInfoHeight = 90;
  const int fLevelHeight = 80;
  const float fLevelFactor;
  int fColumnCount = 1;
  int fFocusedSlot = -1;
  bool fVerticalAutoSize = false;
  std::vector<int> fRowHeights;
  std::vector<TTileTextCache> fTextCache;  // per slot

  QPushButton* btnSettings = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QMenu* mnuSlotPopup = nullptr;
  QAction* actOpenFolder = nullptr;
  QAction* actIncrease = nullptr;
  QAction* actDecrease = nullptr;
  QAction* actAutoSize = nullptr;
};
