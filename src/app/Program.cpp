#include "app/Program.h"

#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <exception>

#include "app/AboutBox.h"
#include "app/MainForm.h"
#include "app/Prompter.h"
#include "app/RoutingEngine.h"
#include "link/ComForm.h"

namespace {

const QString kTop = QStringLiteral("top");
const QString kLeft = QStringLiteral("left");
constexpr QSize kKeyboardClient{483, 131};
constexpr QSize kToneListOuter{536, 291};
constexpr QSize kSettingsClient{406, 269};
const QColor kSilver{0xC0, 0xC0, 0xC0};

// A window that stands in for one still to come: its caption and size, nothing inside.
std::unique_ptr<QWidget> StandInWindow(const QString& caption, QSize size, Qt::WindowFlags flags) {
  auto window = std::make_unique<QWidget>(nullptr, flags);
  window->setWindowTitle(caption);
  window->setFixedSize(size);
  QPalette pal = window->palette();
  pal.setColor(QPalette::Window, kSilver);
  window->setPalette(pal);
  window->setAutoFillBackground(true);
  return window;
}

QPoint Centred(const QSize& screen, const QSize& window) {
  // Integer division rounds toward zero, also for a window larger than the screen.
  return {(screen.width() - window.width()) / 2, (screen.height() - window.height()) / 2};
}

}  // namespace

// Until the serial link is wired in, no connection ever stands.
class Program::NoLink final : public LinkPort {
 public:
  bool Connected() const override { return false; }
  void WriteUnit(std::span<const std::uint8_t>) override {}
};

// Until the settings dialog's lists are wired in, no device is chosen.
class Program::NoDeviceChoice final : public MidiDeviceChoice {
 public:
  int SelectedInput() const override { return -1; }
  int SelectedOutput() const override { return -1; }
};

Program::Program(MidiSystem& midi, Prompter& prompter, PositionFile& positions)
    : midi_(midi), prompter_(prompter), positions_(positions) {
  QApplication::setApplicationName(QStringLiteral("Sonavel"));
  QApplication::setApplicationDisplayName(QStringLiteral("Sonavel"));

  mainForm_ = std::make_unique<TMainForm>(prompter_);
  pagesDlg_ = std::make_unique<QDialog>();
  pagesDlg_->setWindowTitle(QStringLiteral("各種設定"));
  pagesDlg_->setFixedSize(kSettingsClient);
  comForm_ = std::make_unique<TComForm>();
  keyboardForm_ = StandInWindow(QStringLiteral("Virtual Keyboard"), kKeyboardClient,
                                Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowMinimizeButtonHint);
  pChangeForm_ = StandInWindow(QStringLiteral("音色ﾘｽﾄ"), kToneListOuter, Qt::Window | Qt::WindowStaysOnTopHint);
  aboutBox_ = std::make_unique<TAboutBox>();

  link_ = std::make_unique<NoLink>();
  choice_ = std::make_unique<NoDeviceChoice>();
  engine_ = std::make_unique<RoutingEngine>(midi_, *mainForm_, *choice_, *link_);

  TMainForm& form = *mainForm_;
  form.AttachEngine(*engine_);
  form.AttachKeyboard(*keyboardForm_, nullptr);
  comForm_->SetAnchor(mainForm_.get());
  MainFormCommands& c = form.Commands();
  c.formShow = [this] { FormShow(); };
  c.formClose = [this] { FormClose(); };
  c.showAbout = [this] { aboutBox_->ShowCentred(); };
  c.showSettings = [this] { pagesDlg_->exec(); };
  c.programDisplayClick = [this](Side) { ToggleToneList(); };
}

Program::~Program() {
  // The engine closes its devices before the windows it reports to go.
  engine_.reset();
}

void Program::Start() { mainForm_->show(); }

void Program::FormShow() {
  TMainForm& form = *mainForm_;
  QWidget& keyboard = *keyboardForm_;
  const QSize screen = QApplication::primaryScreen()->geometry().size();
  const QPoint mainDefault = Centred(screen, form.frameGeometry().size());
  // A window that has never been shown has no frame yet; the main window's frame, known by
  // now, stands in for the keyboard window's.
  QSize keyboardOuter = keyboard.frameGeometry().size();
  if (!keyboard.testAttribute(Qt::WA_WState_Created) || keyboardOuter == keyboard.size()) {
    keyboardOuter = keyboard.size() + (form.frameGeometry().size() - form.size());
  }
  const QPoint keyboardDefault = Centred(screen, keyboardOuter);

  const int mainTop = positions_.ReadInt(QString::fromLatin1(kMainSection), kTop, mainDefault.y());
  const int mainLeft = positions_.ReadInt(QString::fromLatin1(kMainSection), kLeft, mainDefault.x());
  const int keyboardTop = positions_.ReadInt(QString::fromLatin1(kKeyboardSection), kTop, keyboardDefault.y());
  const int keyboardLeft = positions_.ReadInt(QString::fromLatin1(kKeyboardSection), kLeft, keyboardDefault.x());
  form.move(mainLeft, mainTop);
  keyboard.move(keyboardLeft, keyboardTop);

  // The settings are loaded and applied here once the settings dialog is wired in.

  keyboard.show();
  engine_->OpenMidiDevices();
}

void Program::FormClose() {
  std::exception_ptr failure;
  try {
    TMainForm& form = *mainForm_;
    QWidget& keyboard = *keyboardForm_;
    // The keyboard window's place is kept even while it is hidden.
    positions_.WriteInt(QString::fromLatin1(kMainSection), kTop, form.frameGeometry().top());
    positions_.WriteInt(QString::fromLatin1(kMainSection), kLeft, form.frameGeometry().left());
    positions_.WriteInt(QString::fromLatin1(kKeyboardSection), kTop, keyboard.frameGeometry().top());
    positions_.WriteInt(QString::fromLatin1(kKeyboardSection), kLeft, keyboard.frameGeometry().left());
  } catch (...) {
    // A settings file that cannot be written must not keep the devices open: the rest of
    // the shutdown runs, then the failure is reported.
    failure = std::current_exception();
  }
  engine_->CloseMidiDevices();
  keyboardForm_->close();
  comForm_->hide();
  pChangeForm_->hide();
  aboutBox_->hide();
  if (onEnded) onEnded();
  if (failure) std::rethrow_exception(failure);
}

void Program::ToggleToneList() {
  if (pChangeForm_->isVisible()) {
    pChangeForm_->hide();
  } else {
    pChangeForm_->show();
  }
}
