#pragma once

#include <QPixmap>
#include <QWidget>

namespace keyboard {

// A picture placed on the keyboard window that takes its own mouse events (so they never
// reach the window behind it), like an image component of the panel. It draws the pixmap it
// is given; a pixmap with transparent parts lets the window show through.
class PictureBox : public QWidget {
  Q_OBJECT

 public:
  PictureBox(const QString& name, const QRect& place, QWidget* parent);
  void SetPicture(const QPixmap& pixmap);

 signals:
  void mouseDown(Qt::MouseButton button, QPoint pos);
  void mouseMove(Qt::MouseButtons buttons, QPoint pos);
  void mouseUp(Qt::MouseButton button, QPoint pos);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  QPixmap picture_;
};

}  // namespace keyboard
