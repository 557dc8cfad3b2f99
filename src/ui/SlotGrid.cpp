#include "ui/SlotGrid.h"

#include "ui/LevelMeter.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QUrl>

#include <algorithm>

namespace {
const QColor kGridLine(160, 160, 160);
}

TSlotGrid::TSlotGrid(ITileSource& iSource, QWidget* iParent)
    : QAbstractScrollArea(iParent), fSource(iSource), fImages(LoadStatusImages()),
      fLevelFactor(LevelFactorForInterval(kTimerInterval)) {
  setObjectName("vdtSlots");
  setFrameShape(QFrame::NoFrame);
  setFocusPolicy(Qt::StrongFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setAutoFillBackground(false);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);

  // Children of the view, hidden until a tile takes the focus.
  auto makeButton = [this](const char* iName, const char* iText) {
    auto* button = new QPushButton(iText, viewport());
    button->setObjectName(iName);
    button->setFixedSize(100, 25);
    button->setFocusPolicy(Qt::NoFocus);  // the focus stays on the tile
    button->hide();
    return button;
  };
  btnSettings = makeButton("btnSettings", "Settings...");
  btnStart = makeButton("btnStart", "Start");
  btnStop = makeButton("btnStop", "Stop");
  connect(btnSettings, &QPushButton::clicked, this, [this] { OpenSettings(); });
  connect(btnStart, &QPushButton::clicked, this, [this] {
    if (fFocusedSlot >= 0) fSource.SetSlotEnabled(fFocusedSlot, true);
    UpdateSlotButtons();
  });
  connect(btnStop, &QPushButton::clicked, this, [this] {
    if (fFocusedSlot >= 0) fSource.SetSlotEnabled(fFocusedSlot, false);
    UpdateSlotButtons();
  });

  mnuSlotPopup = new QMenu(this);
  mnuSlotPopup->setObjectName("mnuSlotPopup");
  actOpenFolder = mnuSlotPopup->addAction("Open Output Folder");
  mnuSlotPopup->addSeparator();
  actIncrease = mnuSlotPopup->addAction("Increase column count");
  actDecrease = mnuSlotPopup->addAction("Decrease column count");
  actAutoSize = mnuSlotPopup->addAction("Vertical auto-size");
  actAutoSize->setCheckable(true);
  connect(actOpenFolder, &QAction::triggered, this, [this] {
    if (fFocusedSlot < 0) return;
    const std::string folder = fSource.Folder(fFocusedSlot);
    if (OnOpenFolder) {
      OnOpenFolder(folder);
    } else {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
    }
  });
  connect(actIncrease, &QAction::triggered, this, [this] { SetColumnCount(fColumnCount + 1); });
  connect(actDecrease, &QAction::triggered, this, [this] { SetColumnCount(fColumnCount - 1); });
  connect(actAutoSize, &QAction::toggled, this, [this](bool iOn) { SetVerticalAutoSize(iOn); });

  SetColumnCount(1);
}

TSlotGrid::~TSlotGrid() = default;

int TSlotGrid::RowCount() const {
  const int slotCount = fSource.SlotCount();
  return (slotCount + fColumnCount - 1) / fColumnCount;
}

void TSlotGrid::SetColumnCount(int iCount) {
  fColumnCount = std::clamp(iCount, 1, std::max(1, fSource.SlotCount()));
  // The focused slot stays focused; its cell moves with the new layout.
  InitRows();
  PositionSlotButtons();
  viewport()->update();
  if (OnLayoutChanged) OnLayoutChanged();
}

void TSlotGrid::SetVerticalAutoSize(bool iOn) {
  if (fVerticalAutoSize == iOn) return;
  fVerticalAutoSize = iOn;
  if (actAutoSize->isChecked() != iOn) actAutoSize->setChecked(iOn);
  InitRows();
  PositionSlotButtons();
  viewport()->update();
  if (OnLayoutChanged) OnLayoutChanged();
}

int TSlotGrid::GetRowHeight(bool iContainsFocus) const {
  const int rows = std::max(1, RowCount());
  const int h = fVerticalAutoSize ? (height() - 4) / rows : fDefaultInfoHeight;
  return std::max(h, iContainsFocus ? fDefaultInfoHeight + 30 : fDefaultInfoHeight);
}

void TSlotGrid::InitRows() {
  const int rows = RowCount();
  const int focusRow = fFocusedSlot >= 0 ? fFocusedSlot / fColumnCount : -1;
  fRowHeights.assign(rows, 0);
  for (int r = 0; r < rows; ++r) fRowHeights[r] = GetRowHeight(r == focusRow);
  UpdateScrollRange();
}

void TSlotGrid::UpdateScrollRange() {
  int total = 0;
  for (int h : fRowHeights) total += h;
  verticalScrollBar()->setPageStep(viewport()->height());
  verticalScrollBar()->setSingleStep(fDefaultInfoHeight / 3);
  verticalScrollBar()->setRange(0, std::max(0, total - viewport()->height()));
}

int TSlotGrid::RowTop(int iRow) const {
  int top = 0;
  for (int r = 0; r < iRow && r < static_cast<int>(fRowHeights.size()); ++r) top += fRowHeights[r];
  return top - verticalScrollBar()->value();
}

int TSlotGrid::ColumnWidth() const { return std::max(1, viewport()->width() / fColumnCount); }

QRect TSlotGrid::CellRect(int iRow, int iColumn) const {
  if (iRow < 0 || iRow >= static_cast<int>(fRowHeights.size())) return {};
  const int width = ColumnWidth();
  return QRect(iColumn * width, RowTop(iRow), width, fRowHeights[iRow]);
}

bool TSlotGrid::CellAt(const QPoint& iPos, int& oRow, int& oColumn) const {
  const int width = ColumnWidth();
  oColumn = iPos.x() / width;
  if (iPos.x() < 0 || oColumn >= fColumnCount) return false;
  int top = -verticalScrollBar()->value();
  for (int r = 0; r < static_cast<int>(fRowHeights.size()); ++r) {
    if (iPos.y() >= top && iPos.y() < top + fRowHeights[r]) {
      oRow = r;
      return true;
    }
    top += fRowHeights[r];
  }
  return false;
}

bool TSlotGrid::FocusCell(int iRow, int iColumn) {
  if (iRow < 0) {
    fFocusedSlot = -1;
  } else {
    const int index = iRow * fColumnCount + iColumn;
    if (iColumn < 0 || iColumn >= fColumnCount || index >= fSource.SlotCount()) return false;
    fFocusedSlot = index;
  }
  InitRows();
  UpdateSlotButtons();
  PositionSlotButtons();
  viewport()->update();
  return true;
}

void TSlotGrid::ClearFocus() { FocusCell(-1, 0); }

void TSlotGrid::UpdateSlotButtons() {
  if (fFocusedSlot < 0 || fFocusedSlot >= fSource.SlotCount()) return;
  const TTileData data = fSource.ReadTile(fFocusedSlot);
  btnStop->setEnabled(data.fRecordSource != rsDisabled && data.fEnabled);
  btnStart->setEnabled(data.fRecordSource != rsDisabled && !data.fEnabled);
}

void TSlotGrid::PositionSlotButtons() {
  if (fFocusedSlot < 0) {
    btnSettings->hide();
    btnStart->hide();
    btnStop->hide();
    return;
  }
  const QRect cell = CellRect(fFocusedSlot / fColumnCount, fFocusedSlot % fColumnCount);
  const int left = cell.x(), right = cell.x() + cell.width(), bottom = cell.y() + cell.height();
  btnSettings->move(left + 58, bottom - 30);
  btnStart->move(right - 208, bottom - 30);
  btnStop->move(right - 104, bottom - 30);
  btnSettings->show();
  btnStart->show();
  btnStop->show();
}

void TSlotGrid::SlotStateChanged(int iIndex) {
  if (iIndex == fFocusedSlot) UpdateSlotButtons();
}

void TSlotGrid::UpdatePopupMenu() {
  actOpenFolder->setEnabled(fFocusedSlot >= 0);
  actIncrease->setEnabled(fColumnCount < fSource.SlotCount());
  actDecrease->setEnabled(fColumnCount > 1);
  actAutoSize->setChecked(fVerticalAutoSize);
}

QMenu* TSlotGrid::PopupMenu() {
  UpdatePopupMenu();
  return mnuSlotPopup;
}

void TSlotGrid::OpenSettings() {
  if (fFocusedSlot >= 0 && OnOpenSettings) OnOpenSettings(fFocusedSlot);
}

void TSlotGrid::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  PaintTiles(painter);
}

void TSlotGrid::PaintTiles(QPainter& painter) {
  painter.fillRect(viewport()->rect(), palette().base());
  const int slotCount = fSource.SlotCount();
  const uint64_t now = fSource.TickCount();
  const bool viewFocused = hasFocus();
  const int width = ColumnWidth();
  const int viewHeight = viewport()->height();
  const TTileImages images{&fImages.fIMGOK, &fImages.fIMGDisabled, &fImages.fIMGError};
  if (fTextCache.size() != static_cast<size_t>(slotCount)) fTextCache.resize(slotCount);
  int top = -verticalScrollBar()->value();
  for (int r = 0; r < static_cast<int>(fRowHeights.size()); ++r) {
    const int height = fRowHeights[r];
    if (top + height > 0 && top < viewHeight) {
      for (int c = 0; c < fColumnCount; ++c) {
        const int index = r * fColumnCount + c;
        const QRect cell(c * width, top, width, height);
        // Grid lines on the right and bottom edges of every cell, empty ones too.
        painter.fillRect(QRect(cell.right(), cell.top(), 1, height), kGridLine);
        painter.fillRect(QRect(cell.left(), cell.bottom(), width, 1), kGridLine);
        if (index >= slotCount) continue;
        const QRect content(cell.x(), cell.y(), width - 1, height - 1);
        const bool focused = viewFocused && index == fFocusedSlot;
        if (focused) painter.fillRect(content, palette().highlight());
        const TTileData data = fSource.ReadTile(index);
        float left = 0, right = 0;
        DecayLevels(data, fLevelFactor, left, right);
        fSource.StoreDisplayLevels(index, left, right);
        PaintTile(painter, content, ComposeTile(data, now, focused), images, left, right, data.fNominalLevel,
                  fLevelHeight, &fTextCache[index]);
      }
    } else {
      // Rows out of sight are not read, but their meters fall as if they were.
      for (int c = 0; c < fColumnCount; ++c) {
        const int index = r * fColumnCount + c;
        if (index >= slotCount) continue;
        const TTileData data = fSource.ReadTile(index);
        float left = 0, right = 0;
        DecayLevels(data, fLevelFactor, left, right);
        fSource.StoreDisplayLevels(index, left, right);
      }
    }
    top += height;
  }
}

void TSlotGrid::resizeEvent(QResizeEvent* iEvent) {
  QAbstractScrollArea::resizeEvent(iEvent);
  InitRows();
  PositionSlotButtons();
}

void TSlotGrid::scrollContentsBy(int, int) {
  PositionSlotButtons();
  viewport()->update();
}

void TSlotGrid::mousePressEvent(QMouseEvent* iEvent) {
  int row = 0, column = 0;
  if (CellAt(iEvent->position().toPoint(), row, column)) FocusCell(row, column);
  iEvent->accept();
}

void TSlotGrid::mouseDoubleClickEvent(QMouseEvent* iEvent) {
  int row = 0, column = 0;
  if (CellAt(iEvent->position().toPoint(), row, column) && FocusCell(row, column)) OpenSettings();
}

void TSlotGrid::keyPressEvent(QKeyEvent* iEvent) {
  const int row = fFocusedSlot >= 0 ? fFocusedSlot / fColumnCount : -1;
  const int column = fFocusedSlot >= 0 ? fFocusedSlot % fColumnCount : 0;
  switch (iEvent->key()) {
    case Qt::Key_Escape:
      ClearFocus();
      return;
    case Qt::Key_Left:
      if (row >= 0) FocusCell(row, column - 1);
      return;
    case Qt::Key_Right:
      FocusCell(std::max(row, 0), row >= 0 ? column + 1 : 0);
      return;
    case Qt::Key_Up:
      if (row > 0) FocusCell(row - 1, column);
      return;
    case Qt::Key_Down:
      FocusCell(row + 1, column);
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      OpenSettings();
      return;
    default:
      QAbstractScrollArea::keyPressEvent(iEvent);
  }
}

void TSlotGrid::contextMenuEvent(QContextMenuEvent* iEvent) {
  UpdatePopupMenu();
  mnuSlotPopup->exec(iEvent->globalPos());
}

void TSlotGrid::focusInEvent(QFocusEvent* iEvent) {
  QAbstractScrollArea::focusInEvent(iEvent);
  viewport()->update();
}

void TSlotGrid::focusOutEvent(QFocusEvent* iEvent) {
  QAbstractScrollArea::focusOutEvent(iEvent);
  viewport()->update();
}
