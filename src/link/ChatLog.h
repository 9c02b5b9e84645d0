#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include "link/LinkViews.h"
#include "link/ModemDialogue.h"

// The main window's side of the link: the chat window and input line, the connection state in
// the status bar with its clock, and the dial, wait, hang-up and COM port commands. UI thread.
class ChatLog final : public MainWindowLink {
 public:
  static constexpr int kWideLine = 52;  // bytes; longer lines need the horizontal scroll bar
  static constexpr int kHistoryLimit = 256;
  static constexpr int kHistoryDropped = 11;  // the entry removed when the history is full
  static constexpr int kStatePanel = 2;
  static constexpr int kClockPanel = 3;

  ChatLog(ModemDialogue& dialogue, ChatView& view);
  ~ChatLog() override;
  ChatLog(const ChatLog&) = delete;
  ChatLog& operator=(const ChatLog&) = delete;

  static QString ElapsedText(long long seconds);

  // --- MainWindowLink
  void memoprint(QByteArrayView text) override;
  void SetConnected(bool on) override;
  void SetComButton(bool pressed) override { view_.SetComButton(pressed); }
  void memoprint(const QString& text);  // a program text, shown as Shift-JIS would carry it
  void memoprint(const QByteArray& text) { memoprint(QByteArrayView(text)); }

  // --- the main window's events
  void SendChatLine();  // ComboBox1KeyPress with Enter, Button5Click
  void Memo1Click() { view_.FocusInput(); }
  void SpeedButton5Click();  // "ｸﾘｱ"
  void Timer1Timer();
  void DialDestination(int n);
  void Button3Click();              // hang up
  void Button10Click();             // wait for a call
  void Button1Click(bool pressed);  // the COM button after its click toggled it
  void KCOM1Click();

  long long ElapsedSeconds() const { return elapsedSeconds_; }
  const QStringList& History() const { return history_; }

 private:
  ModemDialogue& dialogue_;
  ChatView& view_;
  long long elapsedSeconds_ = 0;
  QStringList history_;  // newest first
};
