#include "platform/ThreadInbox.h"

#include <QMetaObject>
#include <QtGlobal>
#include <utility>

void ThreadInbox::SetErrorHandler(std::function<void(std::exception_ptr)> onError) {
  onError_ = std::move(onError);
}

void ThreadInbox::Post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    wake = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  if (wake) QMetaObject::invokeMethod(this, "Run", Qt::QueuedConnection);
}

void ThreadInbox::Run() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    // Run is called from the event loop: nothing may leave it as an exception.
    try {
      task();
    } catch (...) {
      if (onError_) {
        try {
          onError_(std::current_exception());
        } catch (...) {
          qCritical("ThreadInbox: the error handler failed");
        }
      } else {
        qCritical("ThreadInbox: a task failed and nobody takes its error");
      }
    }
  }
}
