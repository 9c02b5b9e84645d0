#include "app/Program.h"

#include <QApplication>
#include <QClipboard>
#include <QDate>
#include <QScreen>
#include <QTimer>
#include <exception>

#include "app/AboutBox.h"
#include "app/MainForm.h"
#include "app/StatusPanels.h"
#include "controls/Prompter.h"
#include "keyboard/KeyboardForm.h"
#include "link/BuiltInModemCarrier.h"
#include "link/CallReport.h"
#include "link/ChatLog.h"
#include "link/ComForm.h"
#include "link/ModemDialogue.h"
#include "link/SerialLink.h"
#include "modem/InternetModem.h"
#include "platform/Profile.h"
#include "platform/UserError.h"
#include "routing/RoutingEngine.h"
#include "settings/PagesDlg.h"
#include "settings/SettingsStore.h"
#include "settings/SettingsTarget.h"
#include "tonelist/PChangeForm.h"

namespace {

const QString kTop = QStringLiteral("top");
const QString kLeft = QStringLiteral("left");
// Beside the settings file: the built-in modem's keys from calls confirmed by the password.
constexpr const char* kPartnerKeysFile = "SonavelPartners.key";

QPoint Centred(const QSize& screen, const QSize& window) {
  // Integer division rounds toward zero, also for a window larger than the screen.
  return {(screen.width() - window.width()) / 2, (screen.height() - window.height()) / 2};
}

}  // namespace

// Where the settings dialog's values go: the serial port and the modem dialogue's fields, the
// main window's destination hints and captions.
class Program::Applier final : public SettingsTarget {
 public:
  explicit Applier(Program& p) : p_(p) {}

  void SetPort(int port) override { Comm().SetPort(static_cast<std::uint8_t>(port)); }
  void SetDevicePath(const QString& path) override {
    const bool builtIn = path == QLatin1String(Settings::kBuiltInModem);
    // A host name is dialled as it stands: no outside-line digits before it.
    Dialogue().BuiltInModem = builtIn;
    if (!builtIn) {
      if (p_.callWatch_->isActive()) {
        p_.callWatch_->stop();
        p_.callReport_->Update({});
      }
      Comm().SetDevicePath(path);
      return;
    }
    if (!p_.modem_) {
      modem::ModemOptions options;
      options.listenPort = listenPort_;
      options.portMap = portMap_;
      options.partnerKeys = kPartnerKeysFile;
      p_.modem_ = std::make_unique<modem::InternetModem>(options);
      p_.modem_->SetPassword(password_);
      p_.modem_->SetPlayout(playout_);
    }
    Comm().SetDevicePath(QString::fromStdString(p_.modem_->DevicePath()));
    p_.callWatch_->start();
  }
  void SetListenPort(int port) override {
    listenPort_ = static_cast<std::uint16_t>(port);
    if (p_.modem_) p_.modem_->SetListenPort(listenPort_);
  }
  // UTF-8, the form a password file for the stand-alone modem has, so both can share one.
  void SetModemPassword(const QString& password) override {
    password_ = password.toStdString();
    if (p_.modem_) p_.modem_->SetPassword(password_);
  }
  void SetPortMap(bool on) override {
    portMap_ = on;
    if (p_.modem_) p_.modem_->SetPortMap(on);
  }
  void SetPlayout(int s41) override {
    playout_ = s41;
    if (p_.modem_) p_.modem_->SetPlayout(s41);
  }
  void SetLineType(int lineType) override { Dialogue().LineType = lineType; }
  void SetInitCommand(int line, const QString& command) override {
    if (line >= 1 && line <= ModemDialogue::kInitCommands) Dialogue().InitCommands.at(line - 1) = command;
  }
  void SetBaudRateUserDefined(int rate) override { Comm().SetBaudRateUserDefined(rate); }
  void SetBaudRate(int rate) override { Comm().SetBaudRate(rate); }
  void SetByteSize(ByteSize size) override { Comm().SetByteSize(static_cast<TCommByteSize>(size)); }
  void SetStopBits(StopBits bits) override { Comm().SetStopBits(static_cast<TCommStopBits>(bits)); }
  void SetParityBits(ParityBits parity) override {
    Comm().SetParityBits(static_cast<TCommParityBits>(parity));
  }
  void SetFlowControls(FlowControls flows) override {
    Comm().SetFlowControls(TCommFlowControls::FromBits(flows));
  }
  void SetOutsideLinePrefix(const QString& prefix) override { Dialogue().OutsideLinePrefix = prefix; }
  void SetDestName(int i, const QString& name) override {
    if (InRange(i)) Dialogue().DestNames.at(i - 1) = name;
  }
  void SetDestNumber(int i, const QString& number) override {
    if (InRange(i)) Dialogue().DestNumbers.at(i - 1) = number;
  }
  void SetDestinationHint(int i, const QString& hint) override { p_.mainForm_->SetDestinationHint(i, hint); }
  void SetDestinationMenuCaption(int i, const QString& caption) override {
    p_.mainForm_->SetDestinationMenuCaption(i, caption);
  }
  void SetUserName(const QString& name) override { Dialogue().UserName = name; }
  void SetPrintName(bool on) override { Dialogue().PrintName = on; }
  void SetSynthOutput(const QString& driver, int frames) override {
    if (p_.onSynthOutput) p_.onSynthOutput(driver, frames);
  }

 private:
  static bool InRange(int i) { return i >= 1 && i <= ModemDialogue::kDestinations; }
  ModemDialogue& Dialogue() { return *p_.dialogue_; }
  TComm& Comm() { return p_.port_->Comm1; }
  Program& p_;
  std::uint16_t listenPort_ = modem::kDefaultPort;
  std::string password_;
  bool portMap_ = true;
  int playout_ = modem::CommandInterpreter::kPlayoutAutomatic;
};

Program::Program(MidiSystem& midi, Prompter& prompter, Profile& settingsFile, QString logFolder)
    : midi_(midi), prompter_(prompter), settingsFile_(settingsFile) {
  QApplication::setApplicationName(QStringLiteral("Sonavel"));
  QApplication::setApplicationDisplayName(QStringLiteral("Sonavel"));

  mainForm_ = std::make_unique<TMainForm>(prompter_);

  store_ = std::make_unique<SettingsStore>(settingsFile_);
  applier_ = std::make_unique<Applier>(*this);
  pagesDlg_ = std::make_unique<TPagesDlg>(midi_, *store_, *applier_);
  pagesDlg_->SetMessageSink([this](const QString& text) { prompter_.Message(text); });

  comForm_ = std::make_unique<TComForm>(prompter_, *mainForm_);
  // The link, downstream first: the port, the engine that writes to it, the chat that shows,
  // and the dialogue that drives them all.
  modemCarrier_ = std::make_unique<BuiltInModemCarrier>(modem_);
  port_ = std::make_unique<SerialLink>(*comForm_);
  // The keyboard window and the tone list play through the engine, which reads the settings
  // dialog's device lists and writes to the link.
  engine_ = std::make_unique<RoutingEngine>(midi_, *mainForm_, *pagesDlg_, *port_);
  chat_ = std::make_unique<ChatLog>(*mainForm_);
  callReport_ = std::make_unique<CallReport>(*mainForm_, *chat_);
  callWatch_ = std::make_unique<QTimer>();
  callWatch_->setInterval(kCallWatchMs);
  QObject::connect(callWatch_.get(), &QTimer::timeout, [this] {
    if (modem_) callReport_->Update(modem_->Status());
  });
  dialogue_ = std::make_unique<ModemDialogue>(*port_, *engine_, *chat_, *comForm_, *modemCarrier_);
  // The log setting is read once, when the connection window is created.
  dialogue_->FormCreate(store_->ReadMakeLog(), logFolder, QDate::currentDate());

  keyboardForm_ = std::make_unique<TKeyboardForm>(*engine_);
  pChangeForm_ = std::make_unique<TPChangeForm>(*engine_, mainForm_.get());
  aboutBox_ = std::make_unique<TAboutBox>();

  // Wiring.
  pagesDlg_->onMidiDevicesChosen = [this] {
    engine_->CloseMidiDevices();
    engine_->OpenMidiDevices();
  };
  comForm_->onCancel = [this] { dialogue_->Button1Click(); };
  comForm_->onCloseBox = [this] { dialogue_->FormClose(); };
  comForm_->onTimerTick = [this] { dialogue_->Timer1Timer(); };
  QObject::connect(keyboardForm_.get(), &TKeyboardForm::closedByUser, mainForm_.get(),
                   [this] { mainForm_->KeyboardClosedByUser(); });
  // The engine shows its key marks on the main window, which passes them on; Qt cuts these
  // connections when the keyboard window goes.
  TMainForm& form = *mainForm_;
  TKeyboardForm* keyboard = keyboardForm_.get();
  QObject::connect(&form, &TMainForm::keyDownShown, keyboard, &TKeyboardForm::ShowKeyDown);
  QObject::connect(&form, &TMainForm::keyUpShown, keyboard, &TKeyboardForm::ShowKeyUp);
  QObject::connect(&form, &TMainForm::keyMarksCleared, keyboard, &TKeyboardForm::ClearKeyMarks);

  MainFormCommands& c = form.Commands();
  PlayThrough(c, *engine_);
  c.keyboardWindow = [keyboard]() -> QWidget* { return keyboard; };
  c.formShow = [this] { FormShow(); };
  c.formClose = [this] { FormClose(); };
  c.dialDestination = [this](int n) { dialogue_->DialDestination(n); };
  c.waitForCall = [this] { dialogue_->Button10Click(); };
  c.copyCallerAddress = [this] { CopyCallerAddress(); };
  c.hangUp = [this] { dialogue_->Button3Click(); };
  c.comButton = [this](bool pressed) { dialogue_->Button1Click(pressed); };
  c.comMenu = [this] { dialogue_->KCOM1Click(); };
  c.sendChatLine = [this] { dialogue_->SendChatLine(); };
  c.clockTick = [this] {
    chat_->Timer1Timer();
    // The call's figures come from the built-in modem itself, never from the line's bytes; a
    // serial modem has none to give.
    QString figures;
    if (modem_) {
      const modem::CallStatus s = modem_->Status();
      if (s.carrier && s.line != modem::LineKind::None) figures = TStatusPanels::FiguresText(s.roundTripMs, s.repairedShare, s.playoutMs, s.lateShare);
    }
    mainForm_->ShowLineFigures(figures);
  };
  c.clearChat = [this] { chat_->SpeedButton5Click(); };
  c.memo1Click = [this] { chat_->Memo1Click(); };
  c.showSettings = [this] { pagesDlg_->exec(); };
  c.programDisplayClick = [this](Side side) { pChangeForm_->ToggleFor(engine_->ChannelOf(side)); };
  c.showAbout = [this] { aboutBox_->ShowCentred(midi_.SynthOutputState()); };
}

Program::~Program() {
  // First nothing more may come in: the port and its watcher stop, the MIDI devices close.
  dialogue_->FormDestroy();
  engine_->CloseMidiDevices();
  // Then the parts go in the reverse order of their making (the members' own order), each
  // before what it uses. The main window, made first as the engine's view, goes last: what it
  // reaches of the later parts goes through its commands, which only its own controls call.
}

// The modem knows the address once its router has opened the port (or the machine has a global
// IPv6 address); the player pastes it into a mail or a chat to the partner.
void Program::CopyCallerAddress() {
  const QString address = modem_ ? QString::fromStdString(modem_->CallerAddress()) : QString();
  if (address.isEmpty()) {
    prompter_.Message(QStringLiteral(
        "相手に伝えるアドレスはまだありません。TCP/IP のモデムで待機すると、アドレスがわかりしだいコピーできます。"));
    return;
  }
  QGuiApplication::clipboard()->setText(address);
  mainForm_->SetStatusPanel(0, QStringLiteral("コピーしました: ") + address);
}

void Program::Start() {
  mainForm_->show();
}

void Program::FormShow() {
  TMainForm& form = *mainForm_;
  QWidget& keyboard = *keyboardForm_;
  const QSize screen = QApplication::primaryScreen()->geometry().size();
  const QPoint mainDefault = Centred(screen, form.frameGeometry().size());
  // A window that has never been shown has no frame yet; the main window's frame, known by
  // now, stands in for the keyboard window's.
  QSize keyboardOuter = keyboard.frameGeometry().size();
  if (keyboardOuter == keyboard.size()) keyboardOuter += form.frameGeometry().size() - form.size();
  const QPoint keyboardDefault = Centred(screen, keyboardOuter);

  const QString main = QString::fromLatin1(kMainSection);
  const QString kbd = QString::fromLatin1(kKeyboardSection);
  const int mainTop = settingsFile_.ReadInt(main, kTop, mainDefault.y());
  const int mainLeft = settingsFile_.ReadInt(main, kLeft, mainDefault.x());
  const int keyboardTop = settingsFile_.ReadInt(kbd, kTop, keyboardDefault.y());
  const int keyboardLeft = settingsFile_.ReadInt(kbd, kLeft, keyboardDefault.x());
  form.move(mainLeft, mainTop);
  keyboard.move(keyboardLeft, keyboardTop);

  pagesDlg_->LoadSettings();
  pagesDlg_->ApplySettings();

  keyboard.show();
  engine_->OpenMidiDevices();
}

void Program::FormClose() {
  std::exception_ptr failure;
  try {
    const QString main = QString::fromLatin1(kMainSection);
    const QString kbd = QString::fromLatin1(kKeyboardSection);
    const QRect form = mainForm_->frameGeometry();
    // The keyboard window's place is kept even while it is hidden.
    const QRect keyboard = keyboardForm_->frameGeometry();
    settingsFile_.WriteInt(main, kTop, form.top());
    settingsFile_.WriteInt(main, kLeft, form.left());
    settingsFile_.WriteInt(kbd, kTop, keyboard.top());
    settingsFile_.WriteInt(kbd, kLeft, keyboard.left());
  } catch (...) {
    // A settings file that cannot be written must not keep the devices open: the rest of
    // the shutdown runs, then the failure is reported.
    failure = std::current_exception();
  }
  // The partner hears of the end first: the port closed is the call ended, while each MIDI
  // device may take a few of its server's cycles to let go.
  port_->Close();
  engine_->CloseMidiDevices();
  keyboardForm_->close();
  comForm_->hide();
  pChangeForm_->hide();
  aboutBox_->hide();
  // The report first, then the end: the owner ends the event loop once it has been seen.
  if (failure) prompter_.Error(ErrorText(failure));
  if (onEnded) onEnded();
}
