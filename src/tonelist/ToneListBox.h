#pragma once

#include <QListWidget>

class QStyledItemDelegate;
// The tone list's list box: entries in columns of 16 that scroll sideways, five columns in
// view, in a fixed-pitch font. It reports the user's mouse and key actions as signals and
// leaves their meaning to its owner. The left button selects the entry under the pointer on
// press and, while held, follows the pointer; the arrow keys do not move the selection on
// their own: the owner moves it (SetSelected) while handling keyDown, so that the entry
// heard and the entry shown are always the same.
class ToneListBox final : public QListWidget {
  Q_OBJECT
 public:
  static constexpr int kItemHeight = 12;
  static constexpr int kEntriesPerColumn = 16;
  static constexpr int kVisibleColumns = 5;

  explicit ToneListBox(QWidget* parent = nullptr);

  // The selected entry, -1 when there is none.
  int Selected() const { return currentRow(); }
  void SetSelected(int row);

 signals:
  void mouseDown(Qt::MouseButton button);
  void mouseMovedWithButton();
  void mouseUp(Qt::MouseButton button);
  void entryDoubleClicked();
  void keyDown(int key);
  void keyUp(int key);
  void keyTyped();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool SelectAt(const QPoint& viewportPos);
  void FitColumns();

  QStyledItemDelegate* delegate_ = nullptr;
  int longestEntry_ = -1;  // the entry whose text is widest, which sets the font size
};
