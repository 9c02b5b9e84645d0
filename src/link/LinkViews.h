#pragma once

#include <QString>
#include <QStringList>

// What the link logic shows. The connection window and the main window implement these; tests
// record them. Every text handed over is plain text: a window shows it as it stands, never as
// markup (a peer's chat line could look like HTML).

// The connection window "接続中" (TComForm).
class ComFormView {
 public:
  virtual ~ComFormView() = default;
  virtual void ShowForm() = 0;  // not modal, 20 px right of and below the main window's corner
  virtual void HideForm() = 0;
  virtual void SetLabel1(const QString& text) = 0;    // destination caption
  virtual void SetLabel2(const QString& text) = 0;    // number being dialled
  virtual void SetLabel3(const QString& text) = 0;    // wait time
  virtual void SetWaitTimer(bool on) = 0;             // Timer1, 1000 ms
  virtual void ShowMessage(const QString& text) = 0;  // simple message box
  virtual void ShowWarning(const QString& text) = 0;  // warning box with OK
  // The application's error report (errors from the port, also those raised on the watcher).
  virtual void ShowError(const QString& text) = 0;
};

// The main window's chat side, status bar and COM button.
class ChatView {
 public:
  // The chat window keeps the newest this many lines: a peer's flood of lines must not fill
  // the memory.
  static constexpr int kLines = 1000;

  virtual ~ChatView() = default;
  virtual void AppendChatLine(const QString& text) = 0;  // Memo1, one line
  virtual void ClearChat() = 0;
  virtual void SetChatScrollBars(bool horizontalToo) = 0;  // false: vertical only
  virtual QString InputText() const = 0;                   // ComboBox1
  virtual void SetInputText(const QString& text) = 0;
  virtual void ShowHistory(const QStringList& newestFirst) = 0;  // ComboBox1's drop-down
  virtual void FocusInput() = 0;
  virtual void SetStatusPanel(int panel, const QString& text) = 0;
  virtual void SetClockTimer(bool on) = 0;    // Timer1, 1000 ms
  virtual bool ComButtonPressed() const = 0;  // SpeedButton6
  virtual void SetComButton(bool pressed) = 0;
  virtual void ShowMessage(const QString& text) = 0;
};

// The state of the built-in modem's wait and call, kept in sight in the main window's status bar
// for as long as it lasts: a short text, and the hint that says what it means; empty: none.
class CallStateView {
 public:
  virtual ~CallStateView() = default;
  virtual void ShowCallState(const QString& text, const QString& hint) = 0;
};
