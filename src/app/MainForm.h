#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>

#include "routing/RoutingEngine.h"
#include "link/LinkViews.h"

class QAction;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QToolButton;
class Prompter;
class TEkisyou;
class TLevelMeter;
class TMyTrackBar;
class TMyTrackBarV;
class TStatusPanels;
class TUpDownButton;
class TrackBarBase;

// What the main window's commands reach: the routing engine and the keyboard window (both made
// after the window, which is the engine's view), the serial link, the other windows and the
// owner's start-up and shutdown steps. The owner fills these in and they go with the window, which
// holds no pointer of its own to any of them; a command whose partner is missing does nothing.
struct MainFormCommands {
  // The routing engine (PlayThrough fills these).
  std::function<void(bool)> midiButton;                    // SpeedButton1Click, after the click
  std::function<void()> midiMenu;                          // KMIDI1Click
  std::function<void()> allNotesOff;                       // Button4Click, N2
  std::function<void()> gmReset;                           // SpeedButton7Click, GM1
  std::function<void()> dualPlay;                          // SpeedButton14Click, KD1
  std::function<void(Side, int)> channelChanged;           // a part's channel spin button
  std::function<void(Side, int)> programChanged;           // a part's program spin button
  std::function<void(Side, Setting, int)> settingChanged;  // a part's sliders
  std::function<void()> closeMidiDevices;                  // Exit1Click
  std::function<ToneSetup()> toneSetup;                    // KS1Click: what a tone file keeps
  std::function<void(const ToneSetup&)> loadToneSetup;     // KO1Click
  // The keyboard window Button11Click shows and hides.
  std::function<QWidget*()> keyboardWindow;
  std::function<void()> formShow;                 // start-up steps that follow the first showing
  std::function<void()> formClose;                // shutdown steps
  std::function<void(int)> dialDestination;       // 1..5
  std::function<void()> waitForCall;              // Button10Click
  std::function<void()> copyCallerAddress;        // KAddressClick: the address a caller dials
  std::function<void()> hangUp;                   // Button3Click
  std::function<void(bool)> comButton;            // Button1Click, after the click toggled the button
  std::function<void()> comMenu;                  // KCOM1Click
  std::function<void()> sendChatLine;             // Enter in the input line, Button5Click
  std::function<void()> clockTick;                // Timer1Timer
  std::function<void()> clearChat;                // SpeedButton5Click
  std::function<void()> memo1Click;               // Memo1Click
  std::function<void()> showSettings;             // Button8Click
  std::function<void(Side)> programDisplayClick;  // Ekisyou2Click / Ekisyou1Click
  std::function<void()> showAbout;                // Help1Click
};

// The main window: toolbar, menus, the two part panels, the chat area and the status bar.
// Its handlers call the commands the owner hands it; it shows what the engine tells it through
// RoutingView, and passes the key marks on to the keyboard window by its signals.
class TMainForm final : public QMainWindow, public RoutingView, public ChatView, public CallStateView {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 532;
  static constexpr int kClientHeight = 335;
  static constexpr int kDestinations = 5;
  static constexpr int kHintDelayMs = 200;
  static constexpr int kMeterDownWait = 25;

  explicit TMainForm(Prompter& prompter, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Wiring, once, by the owner.
  MainFormCommands& Commands() { return commands_; }

  // --- RoutingView
  bool MidiButtonPressed() const override;
  void SetMidiButton(bool pressed) override;
  bool KeyboardShown() const override;
  void SetDualButton(bool pressed) override;
  void ShowMessage(const QString& text) override;
  void ReportError(const QString& text) override;
  void SetLevel(Side part, int value) override;
  void ShowKeyDown(int note, Side player) override;
  void ShowKeyUp(int note, Side player) override;
  void ClearKeyMarks() override;
  void ShowChannel(Side part, int channel) override;
  void ShowSetting(Side part, Setting setting, int value) override;
  void RefreshDisplays() override;

  // --- ChatView: the chat window, the input line, the status bar and the COM button
  void AppendChatLine(const QString& text) override;
  void ClearChat() override;
  void SetChatScrollBars(bool horizontalToo) override;
  QString InputText() const override;
  void SetInputText(const QString& text) override;
  void ShowHistory(const QStringList& newestFirst) override;
  void FocusInput() override;
  void SetStatusPanel(int panel, const QString& text) override;
  void SetClockTimer(bool on) override;
  // The call's figures in the status bar (see TStatusPanels::SetLineFigures); they go with the
  // call's clock.
  void ShowLineFigures(const QString& text);
  bool ComButtonPressed() const override;
  void SetComButton(bool pressed) override;

  // --- CallStateView: in the status bar beside the call's figures
  void ShowCallState(const QString& text, const QString& hint) override;

  // --- what the settings show here: destination i (1..5) is SpeedButton(7 + i) and K(2 + i)
  void SetDestinationHint(int i, const QString& hint);
  void SetDestinationMenuCaption(int i, const QString& caption);
  QString StatusText(int panel) const;
  bool ClockRunning() const;
  QStringList History() const;
  // The keyboard window closed itself: its button comes up.
  void KeyboardClosedByUser();

  // --- handlers
  void Button11Click();  // keyboard window show or hide
  void KO1Click();       // load a tone file
  void KS1Click();       // save a tone file
  void Exit1Click();
  void ShowHint(const QString& longHint);

  // The components, by the names the handlers use.
  std::array<QToolButton*, 15> speedButtons{};  // index = the button's number
  QToolButton* SpeedButton1 = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QToolButton* SpeedButton3 = nullptr;
  QToolButton* SpeedButton4 = nullptr;
  QToolButton* SpeedButton5 = nullptr;
  QToolButton* SpeedButton6 = nullptr;
  QToolButton* SpeedButton7 = nullptr;
  QToolButton* SpeedButton8 = nullptr;
  QToolButton* SpeedButton9 = nullptr;
  QToolButton* SpeedButton10 = nullptr;
  QToolButton* SpeedButton11 = nullptr;
  QToolButton* SpeedButton12 = nullptr;
  QToolButton* SpeedButton13 = nullptr;
  QToolButton* SpeedButton14 = nullptr;

  QFrame* Panel1 = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Image13 = nullptr;  // colour bars
  QLabel* Image14 = nullptr;
  QLabel* Image15 = nullptr;  // part names
  QLabel* Image16 = nullptr;
  TEkisyou* Ekisyou1 = nullptr;            // remote program
  TEkisyou* Ekisyou2 = nullptr;            // local program
  TEkisyou* Ekisyou3 = nullptr;            // local channel
  TEkisyou* Ekisyou4 = nullptr;            // remote channel
  TUpDownButton* UpDownButton1 = nullptr;  // local channel
  TUpDownButton* UpDownButton2 = nullptr;  // local program
  TUpDownButton* UpDownButton3 = nullptr;  // remote program
  TUpDownButton* UpDownButton4 = nullptr;  // remote channel
  TMyTrackBar* MyTrackBar1 = nullptr;      // local pan, reverb, chorus
  TMyTrackBar* MyTrackBar2 = nullptr;
  TMyTrackBar* MyTrackBar3 = nullptr;
  TMyTrackBar* MyTrackBar4 = nullptr;  // remote chorus, reverb, pan
  TMyTrackBar* MyTrackBar5 = nullptr;
  TMyTrackBar* MyTrackBar6 = nullptr;
  TMyTrackBarV* MyTrackBarV1 = nullptr;
  TMyTrackBarV* MyTrackBarV2 = nullptr;
  TLevelMeter* LevelMeter1 = nullptr;
  TLevelMeter* LevelMeter2 = nullptr;

  QPlainTextEdit* Memo1 = nullptr;
  QComboBox* ComboBox1 = nullptr;
  QPushButton* Button5 = nullptr;
  TStatusPanels* StatusBar1 = nullptr;
  QTimer* Timer1 = nullptr;
  QFileDialog* OpenDialog1 = nullptr;
  QFileDialog* SaveDialog1 = nullptr;

  // Menu items.
  QMenu* K1 = nullptr;
  QAction* KO1 = nullptr;
  QAction* KS1 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Edit1 = nullptr;
  QAction* KMIDI1 = nullptr;
  QAction* K11 = nullptr;
  QAction* N2 = nullptr;
  QAction* GM1 = nullptr;
  QAction* KD1 = nullptr;
  QMenu* View1 = nullptr;
  QMenu* K2 = nullptr;
  std::array<QAction*, kDestinations> destinationItems{};  // K3..K7
  QAction* K8 = nullptr;
  QAction* KAddress = nullptr;  // copies the address to give the caller
  QAction* KCOM1 = nullptr;
  QAction* K9 = nullptr;
  QAction* K10 = nullptr;
  QMenu* Help2 = nullptr;
  QAction* Help1 = nullptr;

 signals:
  // The engine's key marks, for the keyboard window: a connection to it goes when it goes.
  void keyDownShown(int note, Side player);
  void keyUpShown(int note, Side player);
  void keyMarksCleared();

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct PartControls {
    TEkisyou* channelDisplay;
    TUpDownButton* channelSpin;
    TEkisyou* programDisplay;
    TUpDownButton* programSpin;
    TMyTrackBar* pan;
    TMyTrackBar* reverb;
    TMyTrackBar* chorus;
    TMyTrackBarV* volume;
    TLevelMeter* meter;
  };

  void BuildToolbar(QWidget* client);
  void BuildPanels(QWidget* client);
  QFrame* BuildPanel(QWidget* client, int left, Side side);
  void BuildChat(QWidget* client);
  void BuildMenus();
  void WireHandlers();
  PartControls& Part(Side side) { return parts_[static_cast<std::size_t>(side)]; }
  static void SetChecked(QToolButton* button, bool checked);
  void Run(const std::function<void()>& command) const;
  void LoadToneFile(const QString& path);

  Prompter& prompter_;
  MainFormCommands commands_;
  std::array<PartControls, 2> parts_{};
  bool shown_ = false;
  bool closed_ = false;
  bool chatEmptyFirstLine_ = true;
};

// Fills the commands that go to the routing engine: what each control of the window plays.
void PlayThrough(MainFormCommands& commands, RoutingEngine& engine);
