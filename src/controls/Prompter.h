#pragma once

#include <QString>

class QWidget;

// The message boxes and the beep of the windows. Handlers ask through this, so a test can
// answer a question without a person at the screen; BoxPrompter is what the user sees.
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual void Message(const QString& text) = 0;  // a simple box: text and OK
  virtual void Warning(const QString& text) = 0;  // a warning box with OK
  virtual bool Confirm(const QString& text) = 0;  // OK and Cancel; true for OK
  // The application's error report (ErrorReport): what an error boundary caught. It returns at
  // once; the box follows from the event loop, one at a time.
  virtual void Error(const QString& text) = 0;
  virtual void Beep() = 0;
};

class BoxPrompter final : public Prompter {
 public:
  explicit BoxPrompter(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  void Message(const QString& text) override;
  void Warning(const QString& text) override;
  bool Confirm(const QString& text) override;
  void Error(const QString& text) override;
  void Beep() override;

 private:
  QWidget* parent_;
};
