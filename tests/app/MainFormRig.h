#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMouseEvent>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "controls/Prompter.h"
#include "controls/TrackBarBase.h"

// Records every box and beep instead of showing it; questions get the answer set beforehand.
class RecordingPrompter final : public Prompter {
 public:
  QStringList messages;
  QStringList warnings;
  QStringList questions;
  QStringList errors;
  int beeps = 0;
  bool answer = true;

  void Message(const QString& text) override { messages << text; }
  void Warning(const QString& text) override { warnings << text; }
  bool Confirm(const QString& text) override {
    questions << text;
    return answer;
  }
  void Error(const QString& text) override { errors << text; }
  void Beep() override { ++beeps; }
};

// Drags a slider's thumb by `delta` pixels along its travel, as a user's mouse would.
inline void DragThumb(TrackBarBase* bar, int delta) {
  const bool horizontal = bar->width() > bar->height();
  const int along = bar->ThumbPos() + bar->SWidth() / 2;
  const int across = (horizontal ? bar->height() : bar->width()) / 2;
  const QPoint from = horizontal ? QPoint(along, across) : QPoint(across, along);
  const QPoint to = horizontal ? from + QPoint(delta, 0) : from + QPoint(0, delta);
  auto send = [bar](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), bar->mapToGlobal(QPointF(at)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(bar, &e);
  };
  send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

// A click on the upper or lower half of a spin button.
inline void StepUp(QWidget* spin) {
  QTest::mouseClick(spin, Qt::LeftButton, {}, QPoint(spin->width() / 2, 5));
}
inline void StepDown(QWidget* spin) {
  QTest::mouseClick(spin, Qt::LeftButton, {}, QPoint(spin->width() / 2, spin->height() - 5));
}

// Lets the event loop run until no message box has come up for a while, closing each one that
// does and noting its text (as it reads when closed). `whileFirstIsUp` runs with the first up.
inline QStringList BoxesShown(const std::function<void()>& whileFirstIsUp = {}) {
  QStringList texts;
  QElapsedTimer idle;
  idle.start();
  QTimer poll;  // a timer, so it also runs inside a box's own event loop
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    if (texts.isEmpty() && whileFirstIsUp) whileFirstIsUp();
    texts << box->text();
    box->accept();
    idle.restart();
  });
  poll.start();
  while (idle.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return texts;
}

// Runs `act` on the next modal window that comes up (a file dialog, a message box) while the
// caller sits in that window's exec(). Gives up after a few seconds so a broken test fails
// instead of hanging.
template <typename Window>
void WhenModal(std::function<void(Window&)> act) {
  auto* poll = new QTimer;
  auto tries = std::make_shared<int>(0);
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, tries, act] {
    auto* modal = qobject_cast<Window*>(QApplication::activeModalWidget());
    if (modal == nullptr && ++*tries < 500) return;
    poll->stop();
    poll->deleteLater();
    if (modal != nullptr) act(*modal);
  });
  poll->start();
}
