#pragma once

#include <QRect>
#include <QString>
#include <QWidget>
#include <array>

// The main window's status bar: five fixed-width panels side by side, the last without a
// bevel. Panels that do not fit the window are cut off at its edge, as a fixed layout would.
class TStatusPanels final : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHeight = 18;
  static constexpr std::array<int, 5> kWidths{400, 25, 50, 50, 20};

  explicit TStatusPanels(QWidget* parent = nullptr);

  void SetPanelText(int panel, const QString& text);
  QString PanelText(int panel) const { return texts_.at(static_cast<std::size_t>(panel)); }
  QRect PanelRect(int panel) const;

  // A call's figures over TCP/IP (round trip, share of packets repaired), in a bevel of their
  // own at the right end of panel 0, whose text then keeps clear of them; empty: none. The
  // panels keep their places.
  void SetLineFigures(const QString& text);
  QString LineFigures() const { return figures_; }
  QRect FiguresRect() const;  // empty without figures
  // The figures' text: "往復 42ms 修復 1.5%"; an unknown round trip shows as "--". With the
  // partner's notes held at a steady delay, that delay beside them ("揺れ吸収 8ms"; -1: played
  // on arrival, not shown), and the share of notes that came after their time when there are any.
  static QString FiguresText(int roundTripMs, double repairedShare, int playoutMs = -1, double lateShare = 0);

  // The modem's wait or its call's protection, in a bevel of its own left of the figures, with a
  // hint shown while the pointer rests on it; empty: none.
  void SetCallState(const QString& text, const QString& hint);
  QString CallState() const { return state_; }
  QString CallStateHint() const { return stateHint_; }
  QRect CallStateRect() const;  // empty without a state

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // A bevelled box in panel 0 for a text, its right edge at `right`; empty for no text.
  QRect BoxEndingAt(const QString& text, int right) const;
  int BoxesEnd() const;  // where the rightmost box ends, clear of panel 0's bevel

  std::array<QString, kWidths.size()> texts_;
  QString figures_;
  QString state_;
  QString stateHint_;
};
