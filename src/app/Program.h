#pragma once

#include <QString>
#include <functional>
#include <memory>

class MidiSystem;
class Prompter;
class QDialog;
class QWidget;
class RoutingEngine;
class TAboutBox;
class TComForm;
class TMainForm;

// The window positions' keys in the settings file, read and written one at a time.
class PositionFile {
 public:
  virtual ~PositionFile() = default;
  virtual int ReadInt(const QString& section, const QString& key, int fallback) = 0;
  virtual void WriteInt(const QString& section, const QString& key, int value) = 0;
};

// The program: the one owner of every window and core object for the whole run. It creates
// the windows in their fixed order, hands each the references it needs, and runs the start-up
// steps that follow the main window's first showing and the shutdown steps of its closing.
class Program {
 public:
  Program(MidiSystem& midi, Prompter& prompter, PositionFile& positions);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Shows the main window; the rest of the start-up follows from its first showing.
  void Start();
  // Called once the main window has closed and its shutdown steps have run.
  std::function<void()> onEnded;

  TMainForm& MainForm() { return *mainForm_; }
  QDialog& PagesDlg() { return *pagesDlg_; }
  TComForm& ComForm() { return *comForm_; }
  QWidget& KeyboardForm() { return *keyboardForm_; }
  QWidget& PChangeForm() { return *pChangeForm_; }
  TAboutBox& AboutBox() { return *aboutBox_; }
  RoutingEngine& Engine() { return *engine_; }

  static constexpr const char* kMainSection = "MainFormPosition";
  static constexpr const char* kKeyboardSection = "KeyBoardPosition";

 private:
  class NoLink;
  class NoDeviceChoice;

  void FormShow();
  void FormClose();
  void ToggleToneList();

  MidiSystem& midi_;
  Prompter& prompter_;
  PositionFile& positions_;

  // Creation order is the windows' fixed order; the engine comes after the settings dialog
  // whose lists it reads, and goes first at the end.
  std::unique_ptr<TMainForm> mainForm_;
  std::unique_ptr<QDialog> pagesDlg_;
  std::unique_ptr<TComForm> comForm_;
  std::unique_ptr<QWidget> keyboardForm_;
  std::unique_ptr<QWidget> pChangeForm_;
  std::unique_ptr<TAboutBox> aboutBox_;
  std::unique_ptr<NoLink> link_;
  std::unique_ptr<NoDeviceChoice> choice_;
  std::unique_ptr<RoutingEngine> engine_;
};
