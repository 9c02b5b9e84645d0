#include "controls/ErrorReport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <utility>
#include <vector>

namespace {

const QString kRepeated = QStringLiteral("（同じエラーが %1 回ありました）");
constexpr qint64 kHoldOffMs = 3000;
const QString kOthers = QStringLiteral("（ほかに %1 件のエラーがありました）");

struct Entry {
  QString text;
  int count = 0;
};

// The reporter's state. Touched on the UI thread only (reports from elsewhere are moved there).
class Reporter {
 public:
  static Reporter& Instance() {
    static Reporter reporter;
    return reporter;
  }

  void Report(const QString& message) {
    switch (phase_) {
      case Phase::Idle:
        // The user has just closed this very text: what closing the box set off again (a window
        // repainting into a failed device, say) does not bring it straight back.
        if (message == lastText_ && sinceClosed_.isValid() && sinceClosed_.elapsed() < kHoldOffMs) return;
        shown_ = {message, 1};
        phase_ = Phase::Scheduled;
        // From the event loop, not from inside the handler that failed.
        QMetaObject::invokeMethod(qApp, [this] { Present(); }, Qt::QueuedConnection);
        return;
      case Phase::Scheduled:
      case Phase::First:
        if (message == shown_.text) {
          ++shown_.count;
        } else if (next_.count == 0 || message == next_.text) {
          next_.text = message;
          ++next_.count;
        } else {
          ++others_;
        }
        break;
      case Phase::FollowUp:
        if (message == shown_.text) {
          ++shown_.count;
        } else {
          ++others_;
        }
        break;
    }
    if (box_) box_->setText(Text());
  }

  void WhenIdle(std::function<void()> then) {
    if (phase_ == Phase::Idle) {
      then();
      return;
    }
    waiters_.push_back(std::move(then));
  }

  bool Busy() const { return phase_ != Phase::Idle; }

 private:
  enum class Phase { Idle, Scheduled, First, FollowUp };

  void Present() {
    phase_ = Phase::First;
    RunBox();
    if (next_.count > 0) {
      shown_ = std::exchange(next_, Entry{});
      phase_ = Phase::FollowUp;
      RunBox();
    }
    phase_ = Phase::Idle;
    shown_ = {};
    others_ = 0;
    auto waiters = std::exchange(waiters_, {});
    for (auto& then : waiters) then();
  }

  void RunBox() {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Sonavel"), Text(), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box_ = &box;
    box.exec();
    box_ = nullptr;
    lastText_ = shown_.text;
    sinceClosed_.start();
  }

  QString Text() const {
    QString text = shown_.text;
    if (shown_.count > 1) text += QStringLiteral("\n\n") + kRepeated.arg(shown_.count);
    if (phase_ == Phase::FollowUp && others_ > 0) text += QStringLiteral("\n") + kOthers.arg(others_);
    return text;
  }

  Phase phase_ = Phase::Idle;
  Entry shown_;  // the box's text, and how often it was reported
  Entry next_;   // the first other text reported while the first box was up
  int others_ = 0;
  QPointer<QMessageBox> box_;
  QString lastText_;  // the text of the box closed last, and how long ago
  QElapsedTimer sinceClosed_;
  std::vector<std::function<void()>> waiters_;
};

bool OnUiThread() {
  return qApp != nullptr && QThread::currentThread() == qApp->thread();
}

}  // namespace

namespace ErrorReport {

void Show(const QString& message) {
  if (qApp == nullptr) return;
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(qApp, [message] { Show(message); }, Qt::QueuedConnection);
    return;
  }
  Reporter::Instance().Report(message);
}

void WhenIdle(std::function<void()> then) {
  if (!OnUiThread()) return;
  Reporter::Instance().WhenIdle(std::move(then));
}

bool Busy() {
  return OnUiThread() && Reporter::Instance().Busy();
}

}  // namespace ErrorReport
