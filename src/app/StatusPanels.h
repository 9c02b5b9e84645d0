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

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::array<QString, kWidths.size()> texts_;
};
