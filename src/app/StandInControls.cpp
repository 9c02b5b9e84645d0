#include "app/StandInControls.h"

#include <QMouseEvent>
#include <QSignalBlocker>
#include <QToolButton>
#include <algorithm>

namespace StandIn {

TrackBar::TrackBar(Qt::Orientation orientation, QWidget* parent) : QSlider(orientation, parent) {
  setRange(0, 127);
  // SetValue blocks signals, so a change reported here is the user's own.
  connect(this, &QSlider::valueChanged, this, [this] { emit OnChange(); });
}

int TrackBar::Value() const { return value(); }

void TrackBar::SetValue(int value) {
  const QSignalBlocker quiet(this);
  setValue(std::clamp(value, minimum(), maximum()));
}

UpDownButton::UpDownButton(QWidget* parent) : QWidget(parent) {
  auto* up = new QToolButton(this);
  auto* down = new QToolButton(this);
  up->setArrowType(Qt::UpArrow);
  down->setArrowType(Qt::DownArrow);
  up->setGeometry(0, 0, 15, 11);
  down->setGeometry(0, 10, 15, 11);
  up->setAutoRepeat(true);
  down->setAutoRepeat(true);
  connect(up, &QToolButton::clicked, this, [this] { Step(1); });
  connect(down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void UpDownButton::SetValue(int value) { value_ = std::clamp(value, min_, max_); }

void UpDownButton::SetRange(int min, int max) {
  min_ = min;
  max_ = max;
  SetValue(value_);
}

void UpDownButton::Step(int delta) {
  const int next = std::clamp(value_ + delta, min_, max_);
  if (next == value_) return;
  value_ = next;
  emit OnChange();
}

LevelMeter::LevelMeter(QWidget* parent) : QProgressBar(parent) {
  setOrientation(Qt::Vertical);
  setRange(0, 127);
  setValue(0);
  setTextVisible(false);
}

void LevelMeter::SetValue(int value) { setValue(std::clamp(value, 0, 127)); }

Ekisyou::Ekisyou(int figures, QWidget* parent) : QLabel(parent), figures_(figures) {
  setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::black);
  pal.setColor(QPalette::WindowText, QColor(0x40, 0xFF, 0x40));
  setPalette(pal);
  setTextFormat(Qt::PlainText);
  SetValue(0);
}

void Ekisyou::SetValue(int value) {
  value_ = value;
  setText(QString::number(value).rightJustified(figures_, QLatin1Char(' ')));
}

void Ekisyou::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit OnClick();
}

}  // namespace StandIn
