#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include "link/LinkViews.h"

// What the main window shows of the link: the chat window, the input line with its history,
// the connection state in the status bar with its clock, and the COM button. It only shows;
// the modem dialogue tells it what. UI thread.
class ChatLog final {
 public:
  static constexpr int kWideLine = 52;  // bytes; longer lines need the horizontal scroll bar
  static constexpr int kHistoryLimit = 256;
  static constexpr int kHistoryDropped = 11;  // the entry removed when the history is full
  static constexpr int kStatePanel = 2;
  static constexpr int kClockPanel = 3;

  explicit ChatLog(ChatView& view) : view_(view) {}
  ChatLog(const ChatLog&) = delete;
  ChatLog& operator=(const ChatLog&) = delete;

  static QString ElapsedText(long long seconds);

  void memoprint(QByteArrayView text);
  void memoprint(const QString& text);  // a program text, shown as Shift-JIS would carry it
  void memoprint(const QByteArray& text) { memoprint(QByteArrayView(text)); }
  // A line of the modem's own (never a peer's): cut where it reads well into lines the window
  // shows whole, so it turns on no horizontal scroll bar.
  void PrintFitted(QByteArrayView text);
  void PrintFitted(const QString& text);
  // The state panel and the call's clock, which starts from zero with each connection.
  void ShowConnected(bool on);
  void StopClock() { view_.SetClockTimer(false); }
  void ShowComButton(bool pressed) { view_.SetComButton(pressed); }
  bool ComButtonPressed() const { return view_.ComButtonPressed(); }
  void ShowMessage(const QString& text) { view_.ShowMessage(text); }
  void ClearLines() { view_.ClearChat(); }
  QString InputText() const { return view_.InputText(); }
  // A line of the input went out: it is kept in the history (unless empty) and the input cleared.
  void Sent(const QString& text);
  void FocusInput() { view_.FocusInput(); }

  // --- the main window's events
  void Memo1Click() { FocusInput(); }
  void SpeedButton5Click();  // "ｸﾘｱ"
  void Timer1Timer();

  long long ElapsedSeconds() const { return elapsedSeconds_; }
  const QStringList& History() const { return history_; }

 private:
  ChatView& view_;
  long long elapsedSeconds_ = 0;
  QStringList history_;  // newest first
};
