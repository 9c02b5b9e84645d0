#pragma once

#include <QDialog>

#include "tonelist/ToneList.h"

class QPushButton;
class ToneListBox;

// The tone list ("音色ﾘｽﾄ"): the 128 General MIDI programs with audition, for the program of
// one part. Always on top and not modal; created once and shown and hidden for the whole run.
// Closing it in any way (OK, double-click, Cancel, right-click, the close box, Escape) ends
// what is sounding; hiding it from the main window does nothing but hide it.
class TPChangeForm final : public QDialog {
  Q_OBJECT
 public:
  // `mainWindow` is the window the dialog is placed against each time it is shown; it is
  // also the dialog's parent. The engine must outlive the dialog.
  TPChangeForm(RoutingEngine& engine, QWidget* mainWindow);

  int EditChannel() const { return tone_.EditChannel(); }
  void SetEditChannel(int channel) { tone_.SetEditChannel(channel); }

  // The program displays' click (Ekisyou1Click, Ekisyou2Click): a visible dialog is only
  // hidden; otherwise it opens for `channel`.
  void ToggleFor(int channel);

  void setVisible(bool visible) override;
  // Escape: the same as Cancel.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void LayOut();
  void FormShow();
  void FormClose();
  void ListBox1MouseDown(Qt::MouseButton button);
  void ListBox1MouseMove();
  void ListBox1MouseUp();
  void ListBox1DblClick();
  void ListBox1KeyDown(int key);
  void ListBox1KeyUp();
  void ListBox1KeyPress();
  void Button1Click();
  void Button2Click();

  ToneList tone_;
  QWidget* mainWindow_;
  ToneListBox* ListBox1;
  QPushButton* Button1;
  QPushButton* Button2;
};
