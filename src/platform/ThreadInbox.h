#pragma once

#include <QObject>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

// Hands work from a device thread (the serial watcher, a MIDI callback) to the thread this object
// lives on, in the order it was posted. The tasks wait under a std::mutex and the owner thread is
// woken by a queued call that carries nothing, so every byte a task touches crosses threads
// through a lock that ThreadSanitizer can see as well as Qt.
class ThreadInbox final : public QObject {
  Q_OBJECT
 public:
  ThreadInbox() = default;

  // Any thread.
  void Post(std::function<void()> task);
  // The owner thread, before the first Post: where a task's exception goes (it never leaves Run,
  // which the event loop calls). The next task still runs.
  void SetErrorHandler(std::function<void(std::exception_ptr)> onError);

 public slots:
  // The owner thread: runs the waiting tasks one at a time, oldest first. A task that spins an
  // event loop (a message box) lets a nested run carry on with the later ones; a task that
  // throws has its error handed to the error handler, and the rest still run.
  void Run();

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  std::function<void(std::exception_ptr)> onError_;
};
