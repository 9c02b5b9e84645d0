#include "settings/PagesDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <algorithm>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QValidator>

#include <array>

#include "controls/UiFonts.h"
#include "modem/Playout.h"
#include "platform/ShiftJis.h"
#include "settings/SerialDevices.h"

namespace {

constexpr int kClientWidth = 406;
constexpr int kClientHeight = 269;
constexpr int kPanelHeight = 37;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kRowHeight = 21;
constexpr int kSynthRate = 48000;  // the milliseconds shown with the synth's periods
// Shorter call passwords are warned of: each guess costs a stranger a connection, but few
// letters leave few guesses.
constexpr int kShortPassword = 8;

const QStringList kSpeedEntries{
    QStringLiteral("110bps"),    QStringLiteral("300bps"),    QStringLiteral("600bps"),
    QStringLiteral("1200bps"),   QStringLiteral("2400bps"),   QStringLiteral("4800bps"),
    QStringLiteral("9600bps"),   QStringLiteral("14400bps"),  QStringLiteral("19200bps"),
    QStringLiteral("38400bps"),  QStringLiteral("56000bps"),  QStringLiteral("128000bps"),
    QStringLiteral("256000bps"), QStringLiteral("ﾕｰｻﾞｰ定義'")};
const QStringList kDestinationLabels{QStringLiteral("接続先１"), QStringLiteral("接続先２"),
                                     QStringLiteral("接続先３"), QStringLiteral("接続先４"),
                                     QStringLiteral("接続先５")};

// Refuses characters the settings file could not hold and, with a limit, typing that makes the
// Shift-JIS form longer than the limit. A longer text loaded from the file stays as it is and
// may still be shortened. The edit already holds the candidate text while it is validated, so
// the length of the text it last accepted is kept here.
class ShiftJisValidator final : public QValidator {
 public:
  ShiftJisValidator(QLineEdit* edit, int maxBytes) : QValidator(edit), maxBytes_(maxBytes) {
    if (maxBytes_ > 0) {
      connect(edit, &QLineEdit::textChanged, this,
              [this](const QString& text) { acceptedBytes_ = ShiftJis::Encode(text).size(); });
    }
  }

  State validate(QString& input, int&) const override {
    if (!EncodableInShiftJis(input)) return Invalid;
    if (maxBytes_ > 0) {
      const qsizetype bytes = ShiftJis::Encode(input).size();
      if (bytes > maxBytes_ && bytes > acceptedBytes_) return Invalid;
    }
    return Acceptable;
  }

 private:
  int maxBytes_;
  qsizetype acceptedBytes_ = 0;
};

QLabel* Label(QWidget* page, const QString& text, int left, int top) {
  auto* label = new QLabel(text, page);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLineEdit* Edit(QWidget* page, const char* name, int left, int top, int width, int maxBytes = 0) {
  auto* edit = new QLineEdit(page);
  edit->setObjectName(QLatin1String(name));
  edit->setGeometry(left, top, width, kRowHeight);
  edit->setValidator(new ShiftJisValidator(edit, maxBytes));
  return edit;
}

// The playout choices (S41): automatic, on arrival, then fixed delays in milliseconds.
constexpr std::array kPlayoutChoices{modem::CommandInterpreter::kPlayoutAutomatic, 0, 10, 20, 30, 50, 100, 200};

QString PlayoutText(int value) {
  if (value == 0) return QStringLiteral("なし");
  if (value > modem::Playout::kMaxFixedMs) return QStringLiteral("自動");
  return QStringLiteral("%1ms").arg(value);
}

QComboBox* Combo(QWidget* page, const char* name, int left, int top, int width, const QStringList& entries) {
  auto* combo = new QComboBox(page);
  combo->setObjectName(QLatin1String(name));
  combo->setGeometry(left, top, width, kRowHeight + 1);
  combo->addItems(entries);
  return combo;
}

int SelectedRow(const QListWidget* list) {
  const QList<QListWidgetItem*> items = list->selectedItems();
  return items.isEmpty() ? -1 : list->row(items.front());
}

void FillDeviceList(QListWidget* list, const QStringList& names, const std::optional<QString>& stored) {
  list->clear();
  list->addItems(names);
  const int row = stored ? SelectByName(names, *stored) : -1;
  if (row >= 0) {
    list->setCurrentRow(row);
  } else {
    list->setCurrentRow(-1);
    list->clearSelection();
  }
}

}  // namespace

TPagesDlg::TPagesDlg(MidiSystem& midi, SettingsStore& store, SettingsTarget& target, QWidget* parent,
                     QString devDir)
    : QDialog(parent), midi_(midi), store_(store), target_(target), devDir_(std::move(devDir)) {
  setObjectName(QStringLiteral("PagesDlg"));
  setWindowTitle(QStringLiteral("各種設定"));
  setModal(true);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(UiFonts::PGothic(12));

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  PageControl1->setGeometry(4, 4, kClientWidth - 8, kClientHeight - kPanelHeight - 4);
  BuildModemPage();
  BuildSerialPage();
  BuildDestinationPage();
  BuildMidiPage();
  BuildOtherPage();

  const int buttonTop = kClientHeight - kPanelHeight + (kPanelHeight - kButtonHeight) / 2;
  auto button = [&](const char* name, const QString& text, int left) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(left, buttonTop, kButtonWidth, kButtonHeight);
    return b;
  };
  OKBtn = button("OKBtn", QStringLiteral("OK"), 162);
  CancelBtn = button("CancelBtn", QStringLiteral("ｷｬﾝｾﾙ"), 244);
  HelpBtn = button("HelpBtn", QStringLiteral("ﾍﾙﾌﾟ(&H)"), 326);
  OKBtn->setDefault(true);
  HelpBtn->setEnabled(false);  // there is no help to show

  connect(OKBtn, &QPushButton::clicked, this, &TPagesDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TPagesDlg::CancelBtnClick);
  connect(ComboBox3, &QComboBox::currentIndexChanged, this, &TPagesDlg::ComboBox3Change);
  ListBox1->installEventFilter(this);
  ListBox1->viewport()->installEventFilter(this);
  ListBox2->installEventFilter(this);
  ListBox2->viewport()->installEventFilter(this);

  showMessage_ = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
}

void TPagesDlg::BuildModemPage() {
  TabSheet1 = new QWidget;
  PageControl1->addTab(TabSheet1, QStringLiteral("ﾓﾃﾞﾑ"));
  Label(TabSheet1, QStringLiteral("ﾎﾟｰﾄ"), 16, 17);
  ComboBox1 = Combo(TabSheet1, "ComboBox1", 80, 14, 150, {});
  // A device path may be typed as well as chosen.
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setValidator(new ShiftJisValidator(ComboBox1->lineEdit(), 0));
  Label(TabSheet1, QStringLiteral("電話回線"), 16, 47);
  ComboBox2 = Combo(TabSheet1, "ComboBox2", 80, 44, 150,
                    {QStringLiteral("ﾄｰﾝ(ﾌﾟｯｼｭ)回線"), QStringLiteral("ﾊﾟﾙｽ(ﾀﾞｲｱﾙ)回線")});
  // Beside the line type, which the built-in modem has no use for.
  Label(TabSheet1, QStringLiteral("着信ﾎﾟｰﾄ"), 244, 47);
  EditListen = Edit(TabSheet1, "EditListen", 306, 44, 64);
  // Under the port for calls: both belong to the built-in modem. Shown masked, as someone may
  // look over the player's shoulder; the left of the row stays free.
  Label(TabSheet1, QStringLiteral("ﾊﾟｽﾜｰﾄﾞ"), 244, 75);
  EditPassword = Edit(TabSheet1, "EditPassword", 306, 72, 64);
  EditPassword->setEchoMode(QLineEdit::Password);
  CheckPortMap = new QCheckBox(QStringLiteral("ﾙｰﾀｰのﾎﾟｰﾄを自動で開く"), TabSheet1);
  CheckPortMap->setObjectName(QStringLiteral("CheckPortMap"));
  CheckPortMap->setGeometry(16, 74, 210, 18);
  CheckPortMap->setToolTip(QStringLiteral("着信を待つ間、UPnP か NAT-PMP でﾙｰﾀｰに着信ﾎﾟｰﾄを開かせます"));
  // Beside the port, over the two other fields of the built-in modem: how it plays the partner.
  Label(TabSheet1, QStringLiteral("揺れ吸収"), 244, 17);
  ComboPlayout = Combo(TabSheet1, "ComboPlayout", 306, 14, 64, {});
  for (const int value : kPlayoutChoices) ComboPlayout->addItem(PlayoutText(value), value);
  ComboPlayout->setToolTip(
      QStringLiteral("内蔵ﾓﾃﾞﾑ (UDP) で相手の音を一定の遅れで鳴らし、回線の揺れをﾘｽﾞﾑに出さない (S41)"));

  GroupBox1 = new QGroupBox(QStringLiteral("ﾓﾃﾞﾑの初期化ｺﾏﾝﾄﾞ"), TabSheet1);
  GroupBox1->setGeometry(10, 100, 370, 94);
  Label(GroupBox1, QStringLiteral("１行目"), 14, 21);
  Edit1 = Edit(GroupBox1, "Edit1", 70, 18, 284);
  Label(GroupBox1, QStringLiteral("２行目"), 14, 45);
  Edit2 = Edit(GroupBox1, "Edit2", 70, 42, 284);
  Label(GroupBox1, QStringLiteral("３行目"), 14, 69);
  Edit3 = Edit(GroupBox1, "Edit3", 70, 66, 284);
}

void TPagesDlg::BuildSerialPage() {
  TabSheet2 = new QWidget;
  PageControl1->addTab(TabSheet2, QStringLiteral("ｼﾘｱﾙ"));
  Label(TabSheet2, QStringLiteral("通信速度"), 16, 17);
  ComboBox3 = Combo(TabSheet2, "ComboBox3", 90, 14, 110, kSpeedEntries);
  Label(TabSheet2, QStringLiteral("ﾕｰｻﾞｰ定義"), 216, 17);
  Edit5 = Edit(TabSheet2, "Edit5", 276, 14, 90);
  Label(TabSheet2, QStringLiteral("ﾃﾞｰﾀﾋﾞｯﾄ"), 16, 51);
  ComboBox4 = Combo(TabSheet2, "ComboBox4", 90, 48, 60, {QStringLiteral("7"), QStringLiteral("8")});
  Label(TabSheet2, QStringLiteral("ｽﾄｯﾌﾟﾋﾞｯﾄ"), 16, 85);
  ComboBox5 = Combo(TabSheet2, "ComboBox5", 90, 82, 60, {QStringLiteral("1"), QStringLiteral("2")});
  Label(TabSheet2, QStringLiteral("ﾊﾟﾘﾃｨ"), 16, 119);
  ComboBox6 = Combo(TabSheet2, "ComboBox6", 90, 116, 80,
                    {QStringLiteral("なし"), QStringLiteral("奇数"), QStringLiteral("偶数")});
  Label(TabSheet2, QStringLiteral("ﾌﾛｰ制御"), 16, 153);
  ComboBox7 = Combo(TabSheet2, "ComboBox7", 90, 150, 100,
                    {QStringLiteral("なし"), QStringLiteral("ﾊｰﾄﾞｳｪｱ"), QStringLiteral("XON/XOFF")});
}

void TPagesDlg::BuildDestinationPage() {
  TabSheet3 = new QWidget;
  PageControl1->addTab(TabSheet3, QStringLiteral("接続先"));
  constexpr int kNameLeft = 80;
  constexpr int kNumberLeft = 230;
  Label(TabSheet3, QStringLiteral("名前"), kNameLeft + 2, 10);
  Label(TabSheet3, QStringLiteral("電話番号"), kNumberLeft + 2, 10);
  QLineEdit** names[] = {&Edit8, &Edit9, &Edit10, &Edit11, &Edit12};
  QLineEdit** numbers[] = {&Edit13, &Edit14, &Edit15, &Edit16, &Edit17};
  for (int i = 0; i < Settings::kDestinations; ++i) {
    const int top = 30 + i * 32;
    Label(TabSheet3, kDestinationLabels[i], 16, top + 3);
    *names[i] =
        Edit(TabSheet3, QByteArray("Edit" + QByteArray::number(8 + i)).constData(), kNameLeft, top, 140);
    *numbers[i] =
        Edit(TabSheet3, QByteArray("Edit" + QByteArray::number(13 + i)).constData(), kNumberLeft, top, 150);
  }
}

void TPagesDlg::BuildMidiPage() {
  TabSheet4 = new QWidget;
  PageControl1->addTab(TabSheet4, QStringLiteral("ＭＩＤＩ"));
  auto list = [&](const char* name, int left) {
    auto* l = new QListWidget(TabSheet4);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(left, 28, 180, 124);
    l->setSelectionMode(QAbstractItemView::SingleSelection);
    return l;
  };
  Label(TabSheet4, QStringLiteral("MIDI in ﾃﾞﾊﾞｲｽ"), 12, 10);
  ListBox1 = list("ListBox1", 12);
  Label(TabSheet4, QStringLiteral("MIDI out ﾃﾞﾊﾞｲｽ"), 202, 10);
  ListBox2 = list("ListBox2", 202);
  // The built-in synth's period: a smaller one plays sooner, a larger one survives a busy machine.
  Label(TabSheet4, QStringLiteral("内蔵ｼﾝｾのﾊﾞｯﾌｧ"), 12, 157);
  QStringList buffers;
  for (int frames : GmSynth::kBufferChoices) {
    buffers << QStringLiteral("%1 ﾌﾚｰﾑ (%2)").arg(frames).arg(GmSynth::Milliseconds(frames, kSynthRate));
  }
  ComboBoxSynthBuffer = Combo(TabSheet4, "ComboBoxSynthBuffer", 112, 154, 150, buffers);
  LabelSynthState = Label(TabSheet4, {}, 12, 179);
  LabelSynthState->resize(370, 16);
  LabelSynthState->setObjectName(QStringLiteral("LabelSynthState"));
}

void TPagesDlg::BuildOtherPage() {
  TabSheet5 = new QWidget;
  PageControl1->addTab(TabSheet5, QStringLiteral("その他"));
  CheckBox2 = new QCheckBox(QStringLiteral("ログﾌｧｲﾙを作成する"), TabSheet5);
  CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
  CheckBox2->setGeometry(16, 14, 300, kRowHeight);
  CheckBox3 = new QCheckBox(QStringLiteral("ﾁｬｯﾄｳｨﾝﾄﾞｳに名前を表示する"), TabSheet5);
  CheckBox3->setObjectName(QStringLiteral("CheckBox3"));
  CheckBox3->setGeometry(16, 42, 300, kRowHeight);
  Label(TabSheet5, QStringLiteral("名前"), 16, 85);
  Edit6 = Edit(TabSheet5, "Edit6", 96, 82, 70, kUserNameBytes);
  Label(TabSheet5, QStringLiteral("漢字で４文字（英数字で８文字）まで"), 174, 85);
  Label(TabSheet5, QStringLiteral("外線発信番号"), 16, 121);
  Edit4 = Edit(TabSheet5, "Edit4", 96, 118, 90);
}

QLineEdit* TPagesDlg::DestNameEdit(int i) const {
  QLineEdit* const edits[] = {Edit8, Edit9, Edit10, Edit11, Edit12};
  return edits[i];
}

QLineEdit* TPagesDlg::DestNumberEdit(int i) const {
  QLineEdit* const edits[] = {Edit13, Edit14, Edit15, Edit16, Edit17};
  return edits[i];
}

void TPagesDlg::showEvent(QShowEvent* event) {
  // A window coming back from being minimised is not a new showing.
  if (!event->spontaneous()) {
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    LoadSettings();
  }
  QDialog::showEvent(event);
}

bool TPagesDlg::eventFilter(QObject* watched, QEvent* event) {
  const bool mouse =
      event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick;
  // Tab only passes through on its way to the next control.
  const bool key = event->type() == QEvent::KeyPress &&
                   static_cast<QKeyEvent*>(event)->key() != Qt::Key_Tab &&
                   static_cast<QKeyEvent*>(event)->key() != Qt::Key_Backtab;
  if (mouse && watched == ListBox1->viewport()) ListBox1MouseDown();
  if (mouse && watched == ListBox2->viewport()) ListBox2MouseDown();
  if (key && watched == ListBox1) ListBox1KeyDown();
  if (key && watched == ListBox2) ListBox2KeyDown();
  return QDialog::eventFilter(watched, event);
}

int TPagesDlg::BufferIndex(int frames) {
  const auto* choice = std::ranges::find(GmSynth::kBufferChoices, frames);
  return choice == std::end(GmSynth::kBufferChoices)
             ? 1
             : static_cast<int>(choice - std::begin(GmSynth::kBufferChoices));
}

void TPagesDlg::ListBox1MouseDown() {
  midiListTouched_ = true;
}
void TPagesDlg::ListBox2MouseDown() {
  midiListTouched_ = true;
}
void TPagesDlg::ListBox1KeyDown() {
  midiListTouched_ = true;
}
void TPagesDlg::ListBox2KeyDown() {
  midiListTouched_ = true;
}

void TPagesDlg::ComboBox3Change(int index) {
  Edit5->setEnabled(index == Settings::kUserDefinedSpeed);
}

int TPagesDlg::SelectedInput() const {
  return SelectedRow(ListBox1);
}
int TPagesDlg::SelectedOutput() const {
  return SelectedRow(ListBox2);
}

void TPagesDlg::ToControls(const Settings& s) {
  // Port: COM1..COM5, then the serial devices of this machine, then a stored path that is not
  // among them (an adapter that is unplugged just now).
  ComboBox1->clear();
  for (int i = 0; i < Settings::kComPorts; ++i) ComboBox1->addItem(QStringLiteral("COM%1").arg(i + 1));
  ComboBox1->addItems(FindSerialDevices(devDir_));
  ComboBox1->addItem(QLatin1String(Settings::kBuiltInModemEntry));
  comIndex_ = s.port;
  if (s.device.isEmpty()) {
    ComboBox1->setCurrentIndex(s.port);
  } else if (s.device == QLatin1String(Settings::kBuiltInModem)) {
    ComboBox1->setCurrentIndex(ComboBox1->findText(QLatin1String(Settings::kBuiltInModemEntry)));
  } else {
    if (ComboBox1->findText(s.device, Qt::MatchExactly) < 0) ComboBox1->addItem(s.device);
    ComboBox1->setCurrentIndex(ComboBox1->findText(s.device, Qt::MatchExactly));
  }
  ComboBox2->setCurrentIndex(s.telType);
  EditListen->setText(QString::number(s.listenPort));
  EditPassword->setText(s.password);
  loadedPassword_ = s.password;
  CheckPortMap->setChecked(s.portMap);
  // A delay the file holds that is not in the list is kept as it is.
  if (ComboPlayout->findData(s.playout) < 0) ComboPlayout->addItem(PlayoutText(s.playout), s.playout);
  ComboPlayout->setCurrentIndex(ComboPlayout->findData(s.playout));
  Edit1->setText(s.initCommands[0]);
  Edit2->setText(s.initCommands[1]);
  Edit3->setText(s.initCommands[2]);

  ComboBox3->setCurrentIndex(s.speed);
  Edit5->setText(s.userSpeed);
  Edit5->setEnabled(s.speed == Settings::kUserDefinedSpeed);
  ComboBox4->setCurrentIndex(s.dataBits);
  ComboBox5->setCurrentIndex(s.stopBits);
  ComboBox6->setCurrentIndex(s.parity);
  ComboBox7->setCurrentIndex(s.flow);

  for (int i = 0; i < Settings::kDestinations; ++i) {
    DestNameEdit(i)->setText(s.destNames[static_cast<std::size_t>(i)]);
  }
  for (int i = 0; i < Settings::kDestinations; ++i) {
    DestNumberEdit(i)->setText(s.destNumbers[static_cast<std::size_t>(i)]);
  }

  FillDeviceList(ListBox1, midi_.InputNames(), s.midiInName);
  FillDeviceList(ListBox2, midi_.OutputNames(), s.midiOutName);
  synthAudioDriver_ = s.synthAudioDriver;
  ComboBoxSynthBuffer->setCurrentIndex(BufferIndex(s.synthBuffer));
  loadedSynthBuffer_ = s.synthBuffer;
  const QString state = midi_.SynthOutputState();
  LabelSynthState->setText(QStringLiteral("使用中: ") + (state.isEmpty() ? QStringLiteral("なし") : state));

  Edit4->setText(s.outsideLinePrefix);
  Edit6->setText(s.userName);
  CheckBox2->setChecked(s.makeLog);
  CheckBox3->setChecked(s.printName);
}

Settings TPagesDlg::FromControls() const {
  Settings s;
  if (const auto port = ParsePortText(ComboBox1->currentText())) {
    s.port = port->comIndex >= 0 ? port->comIndex : comIndex_;
    s.device = port->device;
  } else {
    // Only a file can bring this here (OK refuses it); the port is told what the file says.
    s.port = comIndex_;
    s.device = ComboBox1->currentText().trimmed();
  }
  s.telType = ComboBox2->currentIndex();
  s.listenPort = ParseListenPort(EditListen->text()).value_or(s.listenPort);
  s.password = EditPassword->text();
  s.portMap = CheckPortMap->isChecked();
  s.playout = ComboPlayout->currentData().toInt();
  s.initCommands = {Edit1->text(), Edit2->text(), Edit3->text()};

  s.speed = ComboBox3->currentIndex();
  s.userSpeed = Edit5->text();
  s.dataBits = ComboBox4->currentIndex();
  s.stopBits = ComboBox5->currentIndex();
  s.parity = ComboBox6->currentIndex();
  s.flow = ComboBox7->currentIndex();

  for (int i = 0; i < Settings::kDestinations; ++i) {
    s.destNames[static_cast<std::size_t>(i)] = DestNameEdit(i)->text();
    s.destNumbers[static_cast<std::size_t>(i)] = DestNumberEdit(i)->text();
  }

  auto selectedName = [](const QListWidget* list) -> std::optional<QString> {
    const int row = SelectedRow(list);
    if (row < 0) return std::nullopt;
    return list->item(row)->text();
  };
  s.midiInName = selectedName(ListBox1);
  s.midiOutName = selectedName(ListBox2);
  s.synthAudioDriver = synthAudioDriver_;
  s.synthBuffer = GmSynth::kBufferChoices[std::max(0, ComboBoxSynthBuffer->currentIndex())];

  s.outsideLinePrefix = Edit4->text();
  s.userName = Edit6->text();
  s.makeLog = CheckBox2->isChecked();
  s.printName = CheckBox3->isChecked();
  return s;
}

void TPagesDlg::LoadSettings() {
  ToControls(store_.Load());
}

void TPagesDlg::SaveSettings() {
  const Settings s = FromControls();
  store_.Save(s);
  if (s.device.isEmpty()) comIndex_ = s.port;
}

void TPagesDlg::ApplySettings() {
  if (const auto problem = ::ApplySettings(FromControls(), target_)) ShowMessage(*problem);
}

std::optional<QString> TPagesDlg::Refusal() const {
  if (!ParsePortText(ComboBox1->currentText())) return PortRefusal();
  if (!ParseListenPort(EditListen->text())) return ListenPortRefusal();
  if (ComboBox3->currentIndex() == Settings::kUserDefinedSpeed && !ParseUserSpeed(Edit5->text())) {
    return UserSpeedRefusal();
  }
  return std::nullopt;
}

void TPagesDlg::ShowMessage(const QString& text) {
  if (showMessage_) showMessage_(text);
}

void TPagesDlg::OKBtnClick() {
  // Checked before anything is saved, so that a refusal leaves file, program and edits as
  // they are.
  if (const auto refusal = Refusal()) {
    ShowMessage(*refusal);
    return;
  }
  // A warning, not a refusal: the partner may have chosen it, and the call is the players' own.
  const QString password = EditPassword->text();
  if (password != loadedPassword_ && !password.isEmpty() && password.size() < kShortPassword) {
    ShowMessage(QStringLiteral("ﾊﾟｽﾜｰﾄﾞが %1 文字しかありません。知らない人に当てられにくいよう、%2 文字以上にしてください。")
                    .arg(password.size())
                    .arg(kShortPassword));
  }
  try {
    SaveSettings();
  } catch (const ProfileError& e) {
    // The dialog stays open with the edits, so OK can be tried again.
    ShowMessage(e.Message());
    return;
  }
  loadedPassword_ = password;
  ApplySettings();
  // A new period takes effect when the synth opens again.
  const bool bufferChanged = FromControls().synthBuffer != loadedSynthBuffer_;
  if ((midiListTouched_ || bufferChanged) && onMidiDevicesChosen) onMidiDevicesChosen();
  accept();
}

void TPagesDlg::CancelBtnClick() {
  reject();
}
