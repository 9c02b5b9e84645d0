#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QSlider>
#include <QWidget>

class QToolButton;

// Plain stand-ins for the part panels' custom controls, with the same contract: a Value in
// Min..Max, clamped; OnChange only for the user's own actions; writing Value from the program
// only redraws. They keep the panels usable until the drawn controls take their places.
namespace StandIn {

class TrackBar final : public QSlider {
  Q_OBJECT
 public:
  TrackBar(Qt::Orientation orientation, QWidget* parent);
  int Value() const;
  void SetValue(int value);
 signals:
  void OnChange();
};

class UpDownButton final : public QWidget {
  Q_OBJECT
 public:
  explicit UpDownButton(QWidget* parent);
  int Value() const { return value_; }
  void SetValue(int value);
  void SetRange(int min, int max);
  int Min() const { return min_; }
  int Max() const { return max_; }
 signals:
  void OnChange();

 private:
  void Step(int delta);
  int value_ = 0;
  int min_ = 0;
  int max_ = 127;
};

class LevelMeter final : public QProgressBar {
  Q_OBJECT
 public:
  explicit LevelMeter(QWidget* parent);
  int Value() const { return value(); }
  void SetValue(int value);
};

class Ekisyou final : public QLabel {
  Q_OBJECT
 public:
  Ekisyou(int figures, QWidget* parent);
  int Value() const { return value_; }
  void SetValue(int value);
 signals:
  void OnClick();

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  int figures_;
  int value_ = 0;
};

}  // namespace StandIn
