#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <utility>

namespace controls {

// Values that come from the peer may be written on the serial thread. Returns true when the
// caller already runs on the object's (UI) thread; otherwise queues `write` there, behind the
// writes queued earlier from the same thread, and returns false.
template <typename Write>
bool OnOwnerThread(QObject* object, Write&& write) {
  if (QThread::currentThread() == object->thread()) return true;
  QMetaObject::invokeMethod(object, std::forward<Write>(write), Qt::QueuedConnection);
  return false;
}

}  // namespace controls
