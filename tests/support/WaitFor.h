#pragma once

#include <QTest>
#include <functional>

// Waits for a condition while the event loop runs (hand-overs and timers are queued there), and
// gives up after `ms` so a broken test fails instead of hanging.
inline bool WaitFor(const std::function<bool()>& condition, int ms = 3000) {
  return QTest::qWaitFor(condition, ms);
}
