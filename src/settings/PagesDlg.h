#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "routing/RoutingEngine.h"
#include "platform/midi/GmSynth.h"
#include "platform/midi/MidiDevice.h"
#include "settings/SettingsStore.h"
#include "settings/SettingsTarget.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QWidget;

// The settings dialog "各種設定": five pages of settings loaded from the settings file each
// time it is shown, saved and applied by OK. Its two MIDI lists are the program's MIDI device
// choice for the whole run, edits cancelled or not.
class TPagesDlg final : public QDialog, public MidiDeviceChoice {
  Q_OBJECT
 public:
  using MessageSink = std::function<void(const QString&)>;

  // `devDir` is where the serial devices offered besides COM1..COM5 are looked for.
  TPagesDlg(MidiSystem& midi, SettingsStore& store, SettingsTarget& target, QWidget* parent = nullptr,
            QString devDir = QStringLiteral("/dev"));

  // OK after a MIDI list was touched, once the settings are applied: the owner opens the MIDI
  // devices anew (the engine that owns them reads this dialog's lists, so it is made after it).
  std::function<void()> onMidiDevicesChosen;
  // Where refusals and problems are shown; a message box unless replaced.
  void SetMessageSink(MessageSink sink) { showMessage_ = std::move(sink); }

  void LoadSettings();   // file -> controls
  void SaveSettings();   // controls -> file; throws ProfileError
  void ApplySettings();  // controls -> serial port, modem dialogue, main window

  int SelectedInput() const override;
  int SelectedOutput() const override;
  bool MidiListTouched() const { return midiListTouched_; }

  // --- handlers
  void OKBtnClick();
  void CancelBtnClick();
  void ComboBox3Change(int index);
  void ListBox1MouseDown();
  void ListBox2MouseDown();
  void ListBox1KeyDown();
  void ListBox2KeyDown();

  // --- components
  QTabWidget* PageControl1;
  QWidget* TabSheet1;    // "ﾓﾃﾞﾑ"
  QWidget* TabSheet2;    // "ｼﾘｱﾙ"
  QWidget* TabSheet3;    // "接続先"
  QWidget* TabSheet4;    // "ＭＩＤＩ"
  QWidget* TabSheet5;    // "その他"
  QComboBox* ComboBox1;  // port
  QComboBox* ComboBox2;  // telephone line type
  QGroupBox* GroupBox1;
  QLineEdit* Edit1;
  QLineEdit* Edit2;
  QLineEdit* Edit3;
  QLineEdit* EditListen;  // the built-in modem's port for calls
  QLineEdit* EditPassword;  // the built-in modem's call password, shown masked
  QCheckBox* CheckPortMap;  // the built-in modem opens that port in the router while it waits
  QComboBox* ComboPlayout;  // how the built-in modem plays the partner's notes (its S41)
  QComboBox* ComboBox3;  // speed
  QLineEdit* Edit5;      // user-defined speed
  QComboBox* ComboBox4;  // data bits
  QComboBox* ComboBox5;  // stop bits
  QComboBox* ComboBox6;  // parity
  QComboBox* ComboBox7;  // flow control
  QLineEdit* Edit8;      // destination names Edit8..Edit12
  QLineEdit* Edit9;
  QLineEdit* Edit10;
  QLineEdit* Edit11;
  QLineEdit* Edit12;
  QLineEdit* Edit13;  // destination numbers Edit13..Edit17
  QLineEdit* Edit14;
  QLineEdit* Edit15;
  QLineEdit* Edit16;
  QLineEdit* Edit17;
  QListWidget* ListBox1;  // MIDI in
  QListWidget* ListBox2;  // MIDI out
  QComboBox* ComboBoxSynthBuffer;  // the built-in synth's period
  QLabel* LabelSynthState;         // the path and period the synth has now
  QCheckBox* CheckBox2;   // log file
  QCheckBox* CheckBox3;   // name in the chat window
  QLineEdit* Edit6;       // user name
  QLineEdit* Edit4;       // outside-line prefix
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QPushButton* HelpBtn;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildModemPage();
  void BuildSerialPage();
  void BuildDestinationPage();
  void BuildMidiPage();
  void BuildOtherPage();
  QLineEdit* DestNameEdit(int i) const;
  QLineEdit* DestNumberEdit(int i) const;

  Settings FromControls() const;
  void ToControls(const Settings& settings);
  // Why OK cannot go on with the controls as they are, if it cannot.
  std::optional<QString> Refusal() const;
  void ShowMessage(const QString& text);

  MidiSystem& midi_;
  SettingsStore& store_;
  SettingsTarget& target_;
  MessageSink showMessage_;
  QString devDir_;

  bool midiListTouched_ = false;
  // The COM port a device path stands in for: kept in the file's port key, so the file still
  // names a COM port where no device path is known.
  int comIndex_ = 0;
  // Read with the other keys, applied, never edited here.
  QString synthAudioDriver_;
  int loadedSynthBuffer_ = GmSynth::kDefaultBuffer;
  static int BufferIndex(int frames);
  // The password as loaded: a short one is warned of when it was typed, not at every OK.
  QString loadedPassword_;
};
