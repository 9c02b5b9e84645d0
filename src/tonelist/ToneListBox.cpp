#include "tonelist/ToneListBox.h"

#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "controls/UiFonts.h"

namespace {

constexpr int kSmallestPixelSize = 8;
constexpr int kTextPadding = 4;  // the item delegate's margins on both sides

// Draws an entry on a fixed baseline. The fixed-pitch faces are taller than the 12-pixel rows,
// and centring their full line height would push the descenders into the next entry.
// Every entry fills its cell of the list's grid, so that the selection marks a whole cell.
class EntryDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void SetCell(QSize cell) { cell_ = cell; }
  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return cell_; }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    const QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const bool selected = opt.state & QStyle::State_Selected;
    const QPalette::ColorGroup group =
        (opt.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
    const QFontMetrics metrics(opt.font);
    const int baseline = opt.rect.top() + (ToneListBox::kItemHeight + metrics.capHeight()) / 2;
    painter->save();
    painter->setClipRect(opt.rect.adjusted(0, 0, 0, 1));  // a long name stops at its column
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(QPoint(opt.rect.left() + kTextPadding / 2, baseline), text);
    painter->restore();
  }

 private:
  QSize cell_{1, ToneListBox::kItemHeight};
};

bool IsArrow(int key) {
  return key == Qt::Key_Left || key == Qt::Key_Up || key == Qt::Key_Right || key == Qt::Key_Down;
}

// The windows' fixed-pitch Japanese face, the chat window's: a CJK fixed-pitch face keeps the
// Latin letters half-width, which is what lets the longest names fit a fifth of the list at the
// item height. Such a face counts as "dual width" rather than fixed pitch, so it is measured:
// where the system has none whose Latin letters are all alike, its fixed font stands in.
QFont FixedPitchFont() {
  QFont font = UiFonts::Gothic(ToneListBox::kItemHeight);
  const QFontMetrics metrics(font);
  if (metrics.horizontalAdvance(QLatin1Char('i')) != metrics.horizontalAdvance(QLatin1Char('W'))) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  }
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(ToneListBox::kItemHeight);
  return font;
}

}  // namespace

ToneListBox::ToneListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setFlow(QListView::TopToBottom);
  setWrapping(true);
  setResizeMode(QListView::Adjust);
  setUniformItemSizes(true);
  setTextElideMode(Qt::ElideNone);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragEnabled(false);
  setFont(FixedPitchFont());
  delegate_ = new EntryDelegate(this);
  setItemDelegate(delegate_);
}

void ToneListBox::SetSelected(int row) {
  if (row < 0 || row >= count()) return;
  setCurrentRow(row);
  scrollToItem(item(row));
}

bool ToneListBox::SelectAt(const QPoint& viewportPos) {
  const QModelIndex index = indexAt(viewportPos);
  if (!index.isValid()) return false;
  if (index.row() != currentRow()) SetSelected(index.row());
  return true;
}

// The item view's own press, drag and double-click handling (rubber bands, ctrl-click
// deselection, drag and drop) is not wanted: the list always keeps exactly one selection.
void ToneListBox::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() == Qt::LeftButton) SelectAt(event->position().toPoint());
  emit mouseDown(event->button());
}

void ToneListBox::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return;
  SelectAt(event->position().toPoint());
  emit mouseMovedWithButton();
}

void ToneListBox::mouseReleaseEvent(QMouseEvent* event) {
  emit mouseUp(event->button());
}

// The second press of a double-click arrives as this event; it is reported as the
// double-click first and then as the press it also is.
void ToneListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && SelectAt(event->position().toPoint())) {
    emit entryDoubleClicked();
  }
  emit mouseDown(event->button());
}

void ToneListBox::keyPressEvent(QKeyEvent* event) {
  emit keyDown(event->key());
  if (IsArrow(event->key())) {
    event->accept();
    return;
  }
  QListWidget::keyPressEvent(event);
  const QString text = event->text();
  if (!text.isEmpty() && text.at(0).isPrint()) emit keyTyped();
}

void ToneListBox::keyReleaseEvent(QKeyEvent* event) {
  // A held key repeats as presses only; its release comes once, when it is let go.
  if (!event->isAutoRepeat()) emit keyUp(event->key());
  QListWidget::keyReleaseEvent(event);
}

void ToneListBox::resizeEvent(QResizeEvent* event) {
  QListWidget::resizeEvent(event);
  FitColumns();
}

void ToneListBox::FitColumns() {
  // Columns of exactly 16: whatever height the style's frame and scroll bar leave beyond
  // sixteen rows stays blank below them, so the arrow keys' column step always fits. (The list
  // wraps an entry that would reach its last pixel row, hence the one pixel more.)
  const int spare = viewport()->height() + viewportMargins().bottom() - (kEntriesPerColumn * kItemHeight + 1);
  if (std::max(0, spare) != viewportMargins().bottom()) setViewportMargins(0, 0, 0, std::max(0, spare));
  const int columnWidth = std::max(1, viewport()->width() / kVisibleColumns);
  const QSize cell(columnWidth, kItemHeight);
  if (cell != gridSize()) {
    static_cast<EntryDelegate*>(delegate_)->SetCell(cell);
    setGridSize(cell);
    if (count() > 0) emit delegate_->sizeHintChanged(model()->index(0, 0));
  }
  if (longestEntry_ < 0 || longestEntry_ >= count()) {
    longestEntry_ = -1;
    int widest = -1;
    const QFontMetrics metrics(font());
    for (int i = 0; i < count(); ++i) {
      const int w = metrics.horizontalAdvance(item(i)->text());
      if (w > widest) {
        widest = w;
        longestEntry_ = i;
      }
    }
  }
  if (longestEntry_ < 0) return;
  // Shrink the font until the widest name fits its column, as far as it stays legible.
  QFont fitted = font();
  const QString longest = item(longestEntry_)->text();
  for (int px = kItemHeight; px >= kSmallestPixelSize; --px) {
    fitted.setPixelSize(px);
    if (QFontMetrics(fitted).horizontalAdvance(longest) + kTextPadding <= columnWidth) break;
  }
  if (fitted != font()) setFont(fitted);
}
