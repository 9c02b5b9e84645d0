#include "app/StatusPanels.h"

#include <QPainter>
#include <QStyleOptionFrame>

namespace {
constexpr int kTextIndent = 3;
constexpr int kPanelGap = 2;
}  // namespace

TStatusPanels::TStatusPanels(QWidget* parent) : QWidget(parent) {
  setFixedHeight(kHeight);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TStatusPanels::SetPanelText(int panel, const QString& text) {
  auto& slot = texts_.at(static_cast<std::size_t>(panel));
  if (slot == text) return;
  slot = text;
  update(PanelRect(panel));
}

QRect TStatusPanels::PanelRect(int panel) const {
  int left = 0;
  for (int i = 0; i < panel; ++i) left += kWidths.at(static_cast<std::size_t>(i));
  return QRect(left, kPanelGap, kWidths.at(static_cast<std::size_t>(panel)), kHeight - kPanelGap);
}

void TStatusPanels::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  const QColor shadow = palette().color(QPalette::Dark);
  const QColor light = palette().color(QPalette::Light);
  for (int i = 0; i < static_cast<int>(kWidths.size()); ++i) {
    // Each panel ends two pixels short of the next, leaving the gap between the bevels.
    const QRect r = PanelRect(i).adjusted(0, 0, -kPanelGap, 0);
    if (i + 1 < static_cast<int>(kWidths.size())) {
      p.setPen(shadow);
      p.drawLine(r.topLeft(), r.topRight());
      p.drawLine(r.topLeft(), r.bottomLeft());
      p.setPen(light);
      p.drawLine(r.bottomLeft(), r.bottomRight());
      p.drawLine(r.topRight(), r.bottomRight());
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(r.adjusted(kTextIndent, 0, -1, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               texts_.at(static_cast<std::size_t>(i)));
  }
}
