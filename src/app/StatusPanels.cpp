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
    const QString& text = texts_.at(static_cast<std::size_t>(i));
    const QRect inside = r.adjusted(kTextIndent, 0, -1, 0);
    // The panels were measured for a narrower face; a text that would not fit (the clock in
    // its 50 pixels) is drawn a little narrower rather than cut off.
    const int needed = p.fontMetrics().horizontalAdvance(text);
    p.save();
    p.setClipRect(r);
    if (needed > inside.width() && needed > 0) {
      const qreal squeeze = static_cast<qreal>(inside.width()) / needed;
      p.translate(inside.left(), 0);
      p.scale(squeeze, 1.0);
      p.drawText(QRect(0, inside.top(), needed, inside.height()), Qt::AlignLeft | Qt::AlignVCenter, text);
    } else {
      p.drawText(inside, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
    p.restore();
  }
}
