#pragma once

#include <QString>
#include <functional>
#include <memory>

class BuiltInModemCarrier;
class CallReport;
class QTimer;
class ChatLog;
class MidiSystem;
class ModemDialogue;
class Profile;
class Prompter;
class RoutingEngine;
class SerialLink;
class SettingsStore;
class TAboutBox;
class TComForm;
class TKeyboardForm;
class TMainForm;
class TPChangeForm;
class TPagesDlg;
namespace modem {
class InternetModem;
}

// The program: the one owner of every window and core object for the whole run. It creates
// the windows in their fixed order, hands each the references it needs, and runs the start-up
// steps that follow the main window's first showing and the shutdown steps of its closing.
class Program {
 public:
  // `settingsFile` is the settings file of this run; `logFolder` is where the day's log goes.
  Program(MidiSystem& midi, Prompter& prompter, Profile& settingsFile, QString logFolder);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Shows the main window; the rest of the start-up follows from its first showing.
  void Start();
  // Called once the main window has closed and its shutdown steps have run, after a failure
  // among them has been handed to the error report.
  std::function<void()> onEnded;
  // The built-in synth's audio driver and period from the settings, for its next opening.
  std::function<void(const QString&, int)> onSynthOutput;

  TMainForm& MainForm() { return *mainForm_; }
  TPagesDlg& PagesDlg() { return *pagesDlg_; }
  TComForm& ComForm() { return *comForm_; }
  TKeyboardForm& KeyboardForm() { return *keyboardForm_; }
  TPChangeForm& PChangeForm() { return *pChangeForm_; }
  TAboutBox& AboutBox() { return *aboutBox_; }
  RoutingEngine& Engine() { return *engine_; }
  SerialLink& Port() { return *port_; }
  ModemDialogue& Dialogue() { return *dialogue_; }
  ChatLog& Chat() { return *chat_; }
  // The built-in TCP/IP modem, made when the settings first choose it; null until then.
  modem::InternetModem* BuiltInModem() { return modem_.get(); }

  static constexpr const char* kMainSection = "MainFormPosition";
  static constexpr const char* kKeyboardSection = "KeyBoardPosition";
  // How often the built-in modem's wait and call are looked at for the status bar and the chat.
  static constexpr int kCallWatchMs = 500;

 private:
  class Applier;

  void FormShow();
  void FormClose();
  void CopyCallerAddress();

  MidiSystem& midi_;
  Prompter& prompter_;
  Profile& settingsFile_;

  // Members in creation order: the windows in their fixed order, with the core objects each
  // needs made just before it. The destructor stops the devices, then the members go in
  // reverse.
  std::unique_ptr<TMainForm> mainForm_;
  std::unique_ptr<SettingsStore> store_;
  std::unique_ptr<Applier> applier_;
  std::unique_ptr<TPagesDlg> pagesDlg_;
  std::unique_ptr<TComForm> comForm_;
  std::unique_ptr<modem::InternetModem> modem_;        // before the port that opens it, gone after it
  std::unique_ptr<BuiltInModemCarrier> modemCarrier_;  // what the dialogue asks while it is chosen
  std::unique_ptr<SerialLink> port_;
  std::unique_ptr<RoutingEngine> engine_;
  std::unique_ptr<ChatLog> chat_;
  std::unique_ptr<CallReport> callReport_;
  std::unique_ptr<QTimer> callWatch_;  // looks at the built-in modem's state while it is chosen
  std::unique_ptr<ModemDialogue> dialogue_;
  std::unique_ptr<TKeyboardForm> keyboardForm_;
  std::unique_ptr<TPChangeForm> pChangeForm_;
  std::unique_ptr<TAboutBox> aboutBox_;
};
