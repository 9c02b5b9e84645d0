#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>

#include "app/Program.h"
#include "app/Prompter.h"

// Records every box and beep instead of showing it; questions get the answer set beforehand.
class RecordingPrompter final : public Prompter {
 public:
  QStringList messages;
  QStringList warnings;
  QStringList questions;
  int beeps = 0;
  bool answer = true;

  void Message(const QString& text) override { messages << text; }
  void Warning(const QString& text) override { warnings << text; }
  bool Confirm(const QString& text) override {
    questions << text;
    return answer;
  }
  void Beep() override { ++beeps; }
};

// The settings file's position keys, in memory, with the order of the writes.
class MemoryPositions final : public PositionFile {
 public:
  std::map<QString, int> values;
  QStringList reads;
  QStringList writes;

  int ReadInt(const QString& section, const QString& key, int fallback) override {
    reads << section + QLatin1Char('/') + key;
    const auto it = values.find(section + QLatin1Char('/') + key);
    return it == values.end() ? fallback : it->second;
  }
  void WriteInt(const QString& section, const QString& key, int value) override {
    writes << section + QLatin1Char('/') + key;
    values[section + QLatin1Char('/') + key] = value;
  }
};

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
