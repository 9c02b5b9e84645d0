#pragma once

#include <QDialog>
#include <functional>

#include "link/LinkViews.h"

class QLabel;
class QPushButton;
class QTimer;
class Prompter;

// "接続中": the small window shown while a call is being set up, with the destination, the
// number dialled, the waiting time and a cancel button. The modem dialogue decides what it
// shows; this window places itself beside the main window and reports the user's actions.
class TComForm final : public QDialog, public ComFormView {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 272;
  static constexpr int kClientHeight = 68;
  static constexpr int kOffsetFromMain = 20;

  // `anchor`: the window it places itself beside each time it is shown.
  TComForm(Prompter& prompter, const QWidget& anchor, QWidget* parent = nullptr);

  // --- ComFormView
  void ShowForm() override { show(); }
  void HideForm() override { hide(); }
  void SetLabel1(const QString& text) override;
  void SetLabel2(const QString& text) override;
  void SetLabel3(const QString& text) override;
  void SetWaitTimer(bool on) override;
  void ShowMessage(const QString& text) override;
  void ShowWarning(const QString& text) override;
  void ShowError(const QString& text) override;

  std::function<void()> onCancel;     // Button1Click
  std::function<void()> onCloseBox;   // FormClose: the window's own close box
  std::function<void()> onTimerTick;  // Timer1Timer

  QLabel* Label1 = nullptr;  // destination
  QLabel* Label2 = nullptr;  // number being dialled
  QLabel* Label3 = nullptr;  // waiting time
  QPushButton* Button1 = nullptr;
  QTimer* Timer1 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void Run(const std::function<void()>& handler);

  Prompter& prompter_;
  const QWidget& anchor_;
};
