#include "keyboard/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>

namespace keyboard {

PictureBox::PictureBox(const QString& name, const QRect& place, QWidget* parent) : QWidget(parent) {
  setObjectName(name);
  setGeometry(place);
  // The window itself takes the keys; no picture may hold the focus.
  setFocusPolicy(Qt::NoFocus);
}

void PictureBox::SetPicture(const QPixmap& pixmap) {
  if (pixmap.cacheKey() == picture_.cacheKey()) return;
  picture_ = pixmap;
  update();
}

void PictureBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, picture_);
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
  event->accept();
  emit mouseDown(event->button(), event->position().toPoint());
}

void PictureBox::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
  emit mouseMove(event->buttons(), event->position().toPoint());
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  emit mouseUp(event->button(), event->position().toPoint());
}

// A second click comes as a double click; it is a press like the first.
void PictureBox::mouseDoubleClickEvent(QMouseEvent* event) {
  mousePressEvent(event);
}

}  // namespace keyboard
