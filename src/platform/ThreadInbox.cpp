#include "platform/ThreadInbox.h"

#include <QMetaObject>
#include <utility>

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
    try {
      task();
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!tasks_.empty()) QMetaObject::invokeMethod(this, "Run", Qt::QueuedConnection);
      throw;
    }
  }
}
