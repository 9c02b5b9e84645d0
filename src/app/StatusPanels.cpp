#include "app/StatusPanels.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyleOptionFrame>
#include <QToolTip>

namespace {
constexpr int kTextIndent = 3;
constexpr int kPanelGap = 2;

// The sunken bevel of a panel and of the call's figures: dark along the top and left, light
// along the bottom and right.
void DrawBevel(QPainter& p, const QRect& r, const QPalette& palette) {
  p.setPen(palette.color(QPalette::Dark));
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(palette.color(QPalette::Light));
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}
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

void TStatusPanels::SetLineFigures(const QString& text) {
  if (figures_ == text) return;
  const QRect before = FiguresRect();
  figures_ = text;
  update(PanelRect(0));
  update(before);
}

QRect TStatusPanels::FiguresRect() const {
  return BoxEndingAt(figures_, BoxesEnd());
}

void TStatusPanels::SetCallState(const QString& text, const QString& hint) {
  stateHint_ = hint;
  if (state_ == text) return;
  state_ = text;
  update(PanelRect(0));  // the box stands inside panel 0, where it was and where it goes
}

QRect TStatusPanels::CallStateRect() const {
  return BoxEndingAt(state_, figures_.isEmpty() ? BoxesEnd() : FiguresRect().left() - kPanelGap);
}

int TStatusPanels::BoxesEnd() const {
  return PanelRect(0).right() - 2 * kPanelGap;
}

QRect TStatusPanels::BoxEndingAt(const QString& text, int right) const {
  if (text.isEmpty()) return {};
  const QRect panel = PanelRect(0);
  const int width = fontMetrics().horizontalAdvance(text) + 2 * kTextIndent + 2;
  return QRect(right - width, panel.top() + 1, width, panel.height() - 2);
}

bool TStatusPanels::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QRect box = CallStateRect();
    if (box.contains(help->pos()) && !stateHint_.isEmpty()) {
      QToolTip::showText(help->globalPos(), stateHint_, this, box);
    } else {
      QToolTip::hideText();
      event->ignore();
    }
    return true;
  }
  return QWidget::event(event);
}

QString TStatusPanels::FiguresText(int roundTripMs, double repairedShare, int playoutMs, double lateShare) {
  const QString trip = roundTripMs >= 0 ? QStringLiteral("%1ms").arg(roundTripMs) : QStringLiteral("--");
  QString text = QStringLiteral("往復 %1 修復 %2%").arg(trip).arg(repairedShare * 100, 0, 'f', 1);
  if (playoutMs >= 0) text += QStringLiteral(" 揺れ吸収 %1ms").arg(playoutMs);
  if (lateShare > 0) text += QStringLiteral(" 遅れ %1%").arg(lateShare * 100, 0, 'f', 1);
  return text;
}

QRect TStatusPanels::PanelRect(int panel) const {
  int left = 0;
  for (int i = 0; i < panel; ++i) left += kWidths.at(static_cast<std::size_t>(i));
  return QRect(left, kPanelGap, kWidths.at(static_cast<std::size_t>(panel)), kHeight - kPanelGap);
}

void TStatusPanels::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  for (int i = 0; i < static_cast<int>(kWidths.size()); ++i) {
    // Each panel ends two pixels short of the next, leaving the gap between the bevels.
    const QRect r = PanelRect(i).adjusted(0, 0, -kPanelGap, 0);
    if (i + 1 < static_cast<int>(kWidths.size())) DrawBevel(p, r, palette());
    p.setPen(palette().color(QPalette::WindowText));
    const QString& text = texts_.at(static_cast<std::size_t>(i));
    QRect inside = r.adjusted(kTextIndent, 0, -1, 0);
    if (i == 0 && !state_.isEmpty()) {
      inside.setRight(CallStateRect().left() - kPanelGap);
    } else if (i == 0 && !figures_.isEmpty()) {
      inside.setRight(FiguresRect().left() - kPanelGap);
    }
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
  for (const auto& [box, text] : {std::pair{FiguresRect(), figures_}, std::pair{CallStateRect(), state_}}) {
    if (text.isEmpty()) continue;
    DrawBevel(p, box, palette());
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(box.adjusted(kTextIndent, 0, -1, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               text);
  }
}
