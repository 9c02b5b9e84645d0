#include "app/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolButton>

#include "controls/Glyphs.h"
#include "controls/Prompter.h"
#include "app/StatusPanels.h"
#include "platform/UserError.h"
#include "routing/ToneFile.h"
#include "controls/UiFonts.h"
#include "controls/Ekisyou.h"
#include "controls/LevelMeter.h"
#include "controls/MyTrackBar.h"
#include "controls/MyTrackBarV.h"
#include "controls/UpDownButton.h"

namespace {

const QColor kSilver{0xC0, 0xC0, 0xC0};

// ------------------------------------------------------------------------------- hints

// Tooltips come up after 200 ms instead of the platform's usual delay. A proxy over the
// application's style is the one place Qt takes this from.
class HintDelayStyle final : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_ToolTip_WakeUpDelay) return TMainForm::kHintDelayMs;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

void InstallHintDelay() {
  if (dynamic_cast<HintDelayStyle*>(QApplication::style()) != nullptr) return;
  QApplication::setStyle(new HintDelayStyle);
}

// A hint is the short text, a vertical bar and the long text; without a bar the whole text
// is both.
void SetHint(QWidget* widget, const QString& hint) {
  const auto bar = hint.indexOf(QLatin1Char('|'));
  widget->setToolTip(bar < 0 ? hint : hint.left(bar));
  widget->setStatusTip(bar < 0 ? hint : hint.mid(bar + 1));
}

// ----------------------------------------------------------------------------- toolbar

struct ToolbarButton {
  int number;  // SpeedButton<number>
  int left;
  Glyphs::Toolbar glyph;
  bool toggle;
  bool startsPressed;
  const char* hint;
};

constexpr int kToolbarTop = 5;
constexpr int kButtonSize = 23;
constexpr int kWideButton = 13;  // SpeedButton13 is one pixel wider

const ToolbarButton kToolbar[] = {
    {1, 6, Glyphs::Toolbar::EighthNote, true, true,
     "MIDI Open/Close|MIDI IN/OUT ﾃﾞﾊﾞｲｽ - MIDI ﾃﾞﾊﾞｲｽを開いたり閉じたりします。"},
    {2, 31, Glyphs::Toolbar::PianoKeys, true, true, "ｷｰﾎﾞｰﾄﾞ|ｷｰﾎﾞｰﾄﾞ を表示します。"},
    {4, 56, Glyphs::Toolbar::RedDot, false, false, "ｵｰﾙﾉｰﾄｵﾌ|ｵｰﾙﾉｰﾄｵﾌ - 音が鳴り止まないときに使います。"},
    {7, 81, Glyphs::Toolbar::LettersGm, false, false, "GMﾘｾｯﾄ|GMﾘｾｯﾄ - 音源にGMﾘｾｯﾄ信号を送ります。"},
    {14, 106, Glyphs::Toolbar::TwoSpeakers, true, false,
     "デュアル演奏|デュアル演奏 - 二つの楽器を組み合せて同時に演奏します。"},
    {8, 144, Glyphs::Toolbar::Digit1, false, false, ""},
    {9, 168, Glyphs::Toolbar::Digit2, false, false, ""},
    {10, 192, Glyphs::Toolbar::Digit3, false, false, ""},
    {11, 216, Glyphs::Toolbar::Digit4, false, false, ""},
    {12, 240, Glyphs::Toolbar::Digit5, false, false, ""},
    {13, 278, Glyphs::Toolbar::LetterW, false, false,
     "待機|モデムを待機状態にして、相手から電話がかかるのを待ちます。"},
    {3, 303, Glyphs::Toolbar::Cross, false, false, "切断|通信を切断します。"},
    {6, 327, Glyphs::Toolbar::BlackDot, true, false, "COMﾎﾟｰﾄ|COMﾎﾟｰﾄを開きます。"},
    {5, 363, Glyphs::Toolbar::LetterC, false, false, "ｸﾘｱ|ﾁｬｯﾄ ｳｨﾝﾄﾞｳの文章を全て消去します。"},
};

constexpr int kSeparatorTop = 29;

// -------------------------------------------------------------------------- part panels

constexpr int kPanelTop = 31;
constexpr int kPanelWidth = 93;
constexpr int kPanelHeight = 286;
constexpr int kLocalPanelLeft = 1;
constexpr int kRemotePanelLeft = 96;

constexpr int kHeaderTop = 3;
constexpr int kHeaderLineTop = 20;
constexpr int kLabelLeft = 4;
constexpr int kChannelTop = 29;
constexpr int kProgramTop = 61;
constexpr int kPanTop = 100;
constexpr int kReverbTop = 124;
constexpr int kChorusTop = 147;
constexpr int kVolumeTop = 177;

constexpr QRect kChannelDisplay{45, kChannelTop, 26, 21};
constexpr QRect kChannelSpin{71, kChannelTop, 15, 21};
constexpr QRect kProgramDisplay{34, kProgramTop, 37, 21};
constexpr QRect kProgramSpin{71, kProgramTop, 15, 21};
constexpr int kSliderLeft = 33;
constexpr QSize kSliderSize{43, 13};
constexpr QRect kVolumeSlider{33, kVolumeTop, 19, 97};
constexpr QRect kMeter{61, kVolumeTop, 15, 97};

QLabel* Picture(QWidget* parent, const QRect& geometry, const QPixmap& pixmap) {
  auto* label = new QLabel(parent);
  label->setGeometry(geometry);
  label->setPixmap(pixmap);
  return label;
}

// --------------------------------------------------------------------------------- chat

constexpr QRect kMemo{192, 31, 337, 258};
constexpr int kComboLeft = 192;
constexpr int kComboTop = 294;
constexpr int kComboWidth = 290;
constexpr QRect kSendButton{488, 296, 41, 18};

// -------------------------------------------------------------------------------- texts

const QString kToneFilter = QStringLiteral("音色ファイル(*.SNV)");
const QString kToneSuffix = QStringLiteral("SNV");
const QString kOverwrite = QStringLiteral("を上書きしますか？");

QString DefaultDestinationName(int i) {
  return QStringLiteral("接続先%1").arg(i);
}

}  // namespace

// ============================================================================ TMainForm

TMainForm::TMainForm(Prompter& prompter, QWidget* parent) : QMainWindow(parent), prompter_(prompter) {
  // FormCreate: the hint delay; the hint handler is event(), which takes every status tip.
  InstallHintDelay();

  setWindowTitle(QStringLiteral("Sonavel"));
  setWindowIcon(Glyphs::ProgramIcon());
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(UiFonts::PGothic(12));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kSilver);
  pal.setColor(QPalette::Button, kSilver);
  setPalette(pal);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  client->setFixedSize(kClientWidth, kClientHeight);
  client->setAutoFillBackground(true);
  setCentralWidget(client);

  BuildToolbar(client);
  BuildPanels(client);
  BuildChat(client);

  StatusBar1 = new TStatusPanels(client);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setGeometry(0, kClientHeight - TStatusPanels::kHeight, kClientWidth, TStatusPanels::kHeight);

  BuildMenus();

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);

  for (QFileDialog** dialog : {&OpenDialog1, &SaveDialog1}) {
    *dialog = new QFileDialog(this);
    // Qt's own dialog on every platform: its behaviour (typed names, the default suffix) is
    // the same everywhere, and a test can drive it.
    (*dialog)->setOption(QFileDialog::DontUseNativeDialog);
    (*dialog)->setNameFilter(kToneFilter);
    (*dialog)->setDefaultSuffix(kToneSuffix);
  }
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  // A typed name that does not exist comes back to the handler, which beeps.
  OpenDialog1->setFileMode(QFileDialog::AnyFile);
  SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog1->setFileMode(QFileDialog::AnyFile);
  // The overwrite question is asked by the handler, with the program's own text.
  SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);

  for (int i = 1; i <= kDestinations; ++i) {
    SetDestinationHint(i, DefaultDestinationName(i) + QStringLiteral("|") + DefaultDestinationName(i) +
                              QStringLiteral(" に接続します"));
  }
  // The menu keeps full-width digits until the settings name the destinations.
  for (int i = 0; i < kDestinations; ++i) {
    destinationItems[static_cast<std::size_t>(i)]->setText(QStringLiteral("接続先") + QChar(0xFF11 + i));
  }

  WireHandlers();
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  // The fixed size now, before the window system first hears of the window: a box shown before
  // its first showing (the start-up's prompts) would make it a native window of Qt's default
  // size, which the window manager then keeps.
  layout()->activate();
  move(408, 109);
}

TMainForm::~TMainForm() = default;

void TMainForm::BuildToolbar(QWidget* client) {
  for (const ToolbarButton& b : kToolbar) {
    auto* button = new QToolButton(client);
    button->setObjectName(QStringLiteral("SpeedButton%1").arg(b.number));
    button->setGeometry(b.left, kToolbarTop, b.number == kWideButton ? kButtonSize + 1 : kButtonSize,
                        kButtonSize);
    button->setIcon(Glyphs::ToolbarIcon(b.glyph));
    button->setIconSize(Glyphs::kToolbarGlyph);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCheckable(b.toggle);
    button->setChecked(b.startsPressed);
    if (b.hint[0] != '\0') SetHint(button, QString::fromUtf8(b.hint));
    speedButtons[static_cast<std::size_t>(b.number)] = button;
  }
  SpeedButton1 = speedButtons[1];
  SpeedButton2 = speedButtons[2];
  SpeedButton3 = speedButtons[3];
  SpeedButton4 = speedButtons[4];
  SpeedButton5 = speedButtons[5];
  SpeedButton6 = speedButtons[6];
  SpeedButton7 = speedButtons[7];
  SpeedButton8 = speedButtons[8];
  SpeedButton9 = speedButtons[9];
  SpeedButton10 = speedButtons[10];
  SpeedButton11 = speedButtons[11];
  SpeedButton12 = speedButtons[12];
  SpeedButton13 = speedButtons[13];
  SpeedButton14 = speedButtons[14];

  auto* separator = new QFrame(client);
  separator->setObjectName(QStringLiteral("Bevel1"));
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);
  separator->setGeometry(0, kSeparatorTop, kClientWidth, 2);
}

QFrame* TMainForm::BuildPanel(QWidget* client, int left, Side side) {
  const bool local = side == Side::Local;
  auto* panel = new QFrame(client);
  panel->setObjectName(local ? QStringLiteral("Panel1") : QStringLiteral("Panel2"));
  panel->setFrameShape(QFrame::Panel);
  panel->setFrameShadow(QFrame::Raised);
  panel->setGeometry(left, kPanelTop, kPanelWidth, kPanelHeight);

  const qreal ratio = devicePixelRatioF() > 1 ? devicePixelRatioF() : 2.0;
  QLabel* bar =
      Picture(panel, QRect(kLabelLeft, kHeaderTop, 12, 15),
              Glyphs::ColourBar(local ? Glyphs::kLocalColour : Glyphs::kRemoteColour, QSize(12, 15), ratio));
  QLabel* name = Picture(
      panel, QRect(kLabelLeft + 17, kHeaderTop, 60, 15),
      Glyphs::PartName(local ? QStringLiteral("自分") : QStringLiteral("相手"), QSize(60, 15), ratio));
  bar->setObjectName(local ? QStringLiteral("Image13") : QStringLiteral("Image14"));
  name->setObjectName(local ? QStringLiteral("Image15") : QStringLiteral("Image16"));
  (local ? Image13 : Image14) = bar;
  (local ? Image15 : Image16) = name;

  auto* line = new QFrame(panel);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  line->setGeometry(2, kHeaderLineTop, kPanelWidth - 4, 2);

  auto label = [&](const char* text, int top, int width, int height) {
    Picture(panel, QRect(kLabelLeft, top, width, height),
            Glyphs::RowLabel(QString::fromLatin1(text), QSize(width, height), ratio));
  };
  label("MIDIch", kChannelTop + 4, 40, 13);
  label("Prog", kProgramTop + 4, 29, 13);
  label("Pan", kPanTop, 28, 13);
  label("Rev", kReverbTop, 28, 13);
  label("Cho", kChorusTop, 28, 13);
  label("Vol", kVolumeTop, 28, 13);

  PartControls& part = Part(side);
  part.channelDisplay = new TEkisyou(panel);
  part.channelDisplay->SetFigureNum(2);
  part.channelDisplay->setGeometry(kChannelDisplay);
  part.channelSpin = new TUpDownButton(panel);
  part.channelSpin->setGeometry(kChannelSpin);
  part.channelSpin->SetMin(0);
  part.channelSpin->SetMax(kMidiChannels - 1);
  part.programDisplay = new TEkisyou(panel);
  part.programDisplay->SetFigureNum(3);
  part.programDisplay->setGeometry(kProgramDisplay);
  part.programSpin = new TUpDownButton(panel);
  part.programSpin->setGeometry(kProgramSpin);
  part.programSpin->SetMin(0);
  part.programSpin->SetMax(127);
  auto slider = [panel](int top) {
    auto* s = new TMyTrackBar(panel);
    s->setGeometry(QRect(QPoint(kSliderLeft, top), kSliderSize));
    s->SetCWidth(1);
    s->SetSWidth(10);
    s->SetMin(0);
    s->SetMax(127);
    return s;
  };
  part.pan = slider(kPanTop);
  part.reverb = slider(kReverbTop);
  part.chorus = slider(kChorusTop);
  part.volume = new TMyTrackBarV(panel);
  part.volume->setGeometry(kVolumeSlider);
  part.volume->SetCWidth(1);
  part.volume->SetSWidth(14);
  part.volume->SetMin(0);
  part.volume->SetMax(127);
  part.meter = new TLevelMeter(panel);
  part.meter->setGeometry(kMeter);
  part.meter->SetMin(0);
  part.meter->SetMax(127);
  part.meter->SetDownWait(kMeterDownWait);

  part.channelSpin->SetValue(local ? 0 : 1);
  part.channelDisplay->SetValue(local ? 1 : 2);
  part.pan->SetValue(ChannelSettings::kDefaultPan);
  part.reverb->SetValue(ChannelSettings::kDefaultReverb);
  part.chorus->SetValue(ChannelSettings::kDefaultChorus);
  part.volume->SetValue(ChannelSettings::kDefaultVolume);
  return panel;
}

void TMainForm::BuildPanels(QWidget* client) {
  Panel1 = BuildPanel(client, kLocalPanelLeft, Side::Local);
  Panel2 = BuildPanel(client, kRemotePanelLeft, Side::Remote);
  const PartControls& local = Part(Side::Local);
  const PartControls& remote = Part(Side::Remote);
  Ekisyou3 = local.channelDisplay;
  UpDownButton1 = local.channelSpin;
  Ekisyou2 = local.programDisplay;
  UpDownButton2 = local.programSpin;
  MyTrackBar1 = local.pan;
  MyTrackBar2 = local.reverb;
  MyTrackBar3 = local.chorus;
  MyTrackBarV1 = local.volume;
  LevelMeter1 = local.meter;
  Ekisyou4 = remote.channelDisplay;
  UpDownButton4 = remote.channelSpin;
  Ekisyou1 = remote.programDisplay;
  UpDownButton3 = remote.programSpin;
  MyTrackBar6 = remote.pan;
  MyTrackBar5 = remote.reverb;
  MyTrackBar4 = remote.chorus;
  MyTrackBarV2 = remote.volume;
  LevelMeter2 = remote.meter;
  const std::pair<QObject*, const char*> names[] = {
      {Ekisyou1, "Ekisyou1"},           {Ekisyou2, "Ekisyou2"},           {Ekisyou3, "Ekisyou3"},
      {Ekisyou4, "Ekisyou4"},           {UpDownButton1, "UpDownButton1"}, {UpDownButton2, "UpDownButton2"},
      {UpDownButton3, "UpDownButton3"}, {UpDownButton4, "UpDownButton4"}, {MyTrackBar1, "MyTrackBar1"},
      {MyTrackBar2, "MyTrackBar2"},     {MyTrackBar3, "MyTrackBar3"},     {MyTrackBar4, "MyTrackBar4"},
      {MyTrackBar5, "MyTrackBar5"},     {MyTrackBar6, "MyTrackBar6"},     {MyTrackBarV1, "MyTrackBarV1"},
      {MyTrackBarV2, "MyTrackBarV2"},   {LevelMeter1, "LevelMeter1"},     {LevelMeter2, "LevelMeter2"}};
  for (const auto& [object, name] : names) object->setObjectName(QString::fromLatin1(name));
}

void TMainForm::BuildChat(QWidget* client) {
  Memo1 = new QPlainTextEdit(client);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(kMemo);
  Memo1->setReadOnly(true);
  Memo1->setFont(UiFonts::Gothic(12));
  // What the peer sends is text: no markup, no links, nothing to click.
  Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Memo1->setUndoRedoEnabled(false);
  Memo1->setMaximumBlockCount(ChatView::kLines);
  QPalette pal = Memo1->palette();
  pal.setColor(QPalette::Base, Qt::white);
  pal.setColor(QPalette::Text, Qt::black);
  Memo1->setPalette(pal);
  SetChatScrollBars(false);
  Memo1->viewport()->installEventFilter(this);

  ComboBox1 = new QComboBox(client);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setGeometry(kComboLeft, kComboTop, kComboWidth, ComboBox1->sizeHint().height());
  ComboBox1->lineEdit()->setMaxLength(32767);
  SetHint(ComboBox1, QStringLiteral("|ここに文字列をいれてリターンキーを押すと相手に送ります。"));

  Button5 = new QPushButton(QStringLiteral("送信"), client);
  Button5->setObjectName(QStringLiteral("Button5"));
  Button5->setGeometry(kSendButton);
  Button5->setDefault(true);
  Button5->setAutoDefault(false);
  SetHint(Button5, QStringLiteral("|文字列を相手のコンピュータに送ります。"));
}

void TMainForm::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  bar->setNativeMenuBar(false);
  auto item = [](QMenu* menu, const char* objectName, const QString& caption, const QString& hint = {}) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(objectName));
    action->setStatusTip(hint);
    return action;
  };

  K1 = bar->addMenu(QStringLiteral("ﾌｧｲﾙ(&F)"));
  K1->setObjectName(QStringLiteral("K1"));
  KO1 = item(K1, "KO1", QStringLiteral("音色設定のﾌｧｲﾙを開く(&O)"));
  KS1 = item(K1, "KS1", QStringLiteral("音色設定をﾌｧｲﾙに保存(&S)"));
  K1->addSeparator()->setObjectName(QStringLiteral("N1"));
  Exit1 = item(K1, "Exit1", QStringLiteral("終了(&X)"), QStringLiteral("Sonavel を終了します。"));

  Edit1 = bar->addMenu(QStringLiteral("ＭＩＤＩ(&M)"));
  Edit1->setObjectName(QStringLiteral("Edit1"));
  KMIDI1 = item(Edit1, "KMIDI1", QStringLiteral("MIDIﾃﾞﾊﾞｲｽを開く・閉じる(&M)"),
                QStringLiteral("MIDI IN/OUT ﾃﾞﾊﾞｲｽ - MIDI ﾃﾞﾊﾞｲｽを開いたり閉じたりします。"));
  K11 = item(Edit1, "K11", QStringLiteral("ｷｰﾎﾞｰﾄﾞの表示・非表示(&K)"),
             QStringLiteral("ｷｰﾎﾞｰﾄﾞ を表示します。"));
  N2 = item(Edit1, "N2", QStringLiteral("ｵｰﾙﾉｰﾄｵﾌ(&A)"),
            QStringLiteral("ｵｰﾙﾉｰﾄｵﾌ - 音が鳴り止まないときに使います。"));
  GM1 = item(Edit1, "GM1", QStringLiteral("GMﾘｾｯﾄ(&R)"),
             QStringLiteral("GMﾘｾｯﾄ - 音源にGMﾘｾｯﾄ信号を送ります。"));
  KD1 = item(Edit1, "KD1", QStringLiteral("ﾃﾞｭｱﾙ演奏(&D)"),
             QStringLiteral("デュアル演奏 - 二つの楽器を組み合せて同時に演奏します。"));

  View1 = bar->addMenu(QStringLiteral("通信(&T)"));
  View1->setObjectName(QStringLiteral("View1"));
  K2 = View1->addMenu(QStringLiteral("電話をかける"));
  K2->setObjectName(QStringLiteral("K2"));
  for (int i = 0; i < kDestinations; ++i) {
    QAction* action = K2->addAction(QString());
    action->setObjectName(QStringLiteral("K%1").arg(3 + i));
    destinationItems[static_cast<std::size_t>(i)] = action;
  }
  K8 = item(View1, "K8", QStringLiteral("待機する(&T)"));
  KAddress = item(View1, "KAddress", QStringLiteral("相手に伝えるｱﾄﾞﾚｽをｺﾋﾟｰ(&A)"),
                  QStringLiteral("待機中の TCP/IP ﾓﾃﾞﾑに電話をかけるためのｱﾄﾞﾚｽをｸﾘｯﾌﾟﾎﾞｰﾄﾞにｺﾋﾟｰします。"));
  KCOM1 = item(View1, "KCOM1", QStringLiteral("COMﾎﾟｰﾄを開く・閉じる(&C)"));
  View1->addSeparator()->setObjectName(QStringLiteral("N3"));
  K9 = item(View1, "K9", QStringLiteral("切断する(&S)"));

  K10 = bar->addAction(QStringLiteral("設定(&S)"));
  K10->setObjectName(QStringLiteral("K10"));

  Help2 = bar->addMenu(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
  Help2->setObjectName(QStringLiteral("Help2"));
  Help1 = item(Help2, "Help1", QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&V)"));
}

void TMainForm::WireHandlers() {
  // Every handler runs through Run, the windows' error boundary.
  auto speedButton1Click = [this] {
    Run([this] {
      if (commands_.midiButton) commands_.midiButton(SpeedButton1->isChecked());
    });
  };
  auto button4Click = [this] { Run(commands_.allNotesOff); };
  auto speedButton7Click = [this] { Run(commands_.gmReset); };
  auto speedButton14Click = [this] { Run(commands_.dualPlay); };

  // Toolbar. Handlers take clicked(), never toggled(): a state the program sets is not a click.
  connect(SpeedButton1, &QToolButton::clicked, this, speedButton1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, [this] { Run([this] { Button11Click(); }); });
  connect(SpeedButton4, &QToolButton::clicked, this, button4Click);
  connect(SpeedButton7, &QToolButton::clicked, this, speedButton7Click);
  connect(SpeedButton14, &QToolButton::clicked, this, speedButton14Click);
  for (int i = 0; i < kDestinations; ++i) {
    auto dial = [this, i] { Run([this, i] { commands_.dialDestination(i + 1); }); };
    connect(speedButtons[static_cast<std::size_t>(8 + i)], &QToolButton::clicked, this, dial);
    connect(destinationItems[static_cast<std::size_t>(i)], &QAction::triggered, this, dial);
  }
  auto button10Click = [this] { Run(commands_.waitForCall); };
  auto button3Click = [this] { Run(commands_.hangUp); };
  connect(SpeedButton13, &QToolButton::clicked, this, button10Click);
  connect(SpeedButton3, &QToolButton::clicked, this, button3Click);
  connect(SpeedButton6, &QToolButton::clicked, this, [this] {
    Run([this] {
      if (commands_.comButton) commands_.comButton(SpeedButton6->isChecked());
    });
  });
  connect(SpeedButton5, &QToolButton::clicked, this, [this] { Run(commands_.clearChat); });

  // Menus.
  connect(KO1, &QAction::triggered, this, [this] { Run([this] { KO1Click(); }); });
  connect(KS1, &QAction::triggered, this, [this] { Run([this] { KS1Click(); }); });
  connect(Exit1, &QAction::triggered, this, [this] { Run([this] { Exit1Click(); }); });
  connect(KMIDI1, &QAction::triggered, this, [this] { Run(commands_.midiMenu); });
  connect(K11, &QAction::triggered, this, [this] { Run([this] { Button11Click(); }); });
  // The two items that had no action do what their toolbar twins do.
  connect(N2, &QAction::triggered, this, button4Click);
  connect(GM1, &QAction::triggered, this, speedButton7Click);
  connect(KD1, &QAction::triggered, this, speedButton14Click);
  connect(K8, &QAction::triggered, this, button10Click);
  connect(KAddress, &QAction::triggered, this, [this] { Run(commands_.copyCallerAddress); });
  connect(KCOM1, &QAction::triggered, this, [this] { Run(commands_.comMenu); });
  connect(K9, &QAction::triggered, this, button3Click);
  connect(K10, &QAction::triggered, this, [this] { Run(commands_.showSettings); });
  connect(Help1, &QAction::triggered, this, [this] { Run(commands_.showAbout); });

  // Part panels: user changes only.
  for (Side side : {Side::Local, Side::Remote}) {
    PartControls& part = Part(side);
    auto spinChanged = [this, side](std::function<void(Side, int)>& command, TUpDownButton* spin) {
      return [this, side, &command, spin] {
        Run([side, &command, spin] {
          if (command) command(side, spin->Value());
        });
      };
    };
    connect(part.channelSpin, &TUpDownButton::OnChange, this,
            spinChanged(commands_.channelChanged, part.channelSpin));
    connect(part.programSpin, &TUpDownButton::OnChange, this,
            spinChanged(commands_.programChanged, part.programSpin));
    const std::pair<TrackBarBase*, Setting> sliders[] = {{part.pan, Setting::Pan},
                                                         {part.reverb, Setting::Reverb},
                                                         {part.chorus, Setting::Chorus},
                                                         {part.volume, Setting::Volume}};
    for (const auto& [slider, setting] : sliders) {
      connect(slider, &TrackBarBase::OnChange, this, [this, slider = slider, setting = setting, side] {
        Run([this, slider, setting, side] {
          if (commands_.settingChanged) commands_.settingChanged(side, setting, slider->Value());
        });
      });
    }
    connect(part.programDisplay, &TEkisyou::OnClick, this, [this, side] {
      Run([this, side] {
        if (commands_.programDisplayClick) commands_.programDisplayClick(side);
      });
    });
  }

  // Chat.
  // Enter in the input line sends it once (eventFilter). The window system gives the key to the
  // combo box, which has the focus and passes the key on to its line edit by a direct call that
  // no filter on the line edit sees; so the combo box is watched, and the line edit too for keys
  // sent to it directly.
  ComboBox1->installEventFilter(this);
  ComboBox1->lineEdit()->installEventFilter(this);
  connect(Button5, &QPushButton::clicked, this, [this] { Run(commands_.sendChatLine); });
  connect(Timer1, &QTimer::timeout, this, [this] { Run(commands_.clockTick); });
}

// The windows' error boundary: what a handler throws is reported here and goes no further, so
// no exception crosses a Qt frame (a signal, an event).
void TMainForm::Run(const std::function<void()>& command) const {
  if (!command) return;
  try {
    command();
  } catch (...) {
    prompter_.Error(ErrorText(std::current_exception()));
  }
}

// ------------------------------------------------------------------------------ events

bool TMainForm::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    ShowHint(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // Memo1Click: a click into the read-only chat window sends the typing to the input line.
  if (watched == Memo1->viewport() && event->type() == QEvent::MouseButtonRelease) Run(commands_.memo1Click);
  if ((watched == ComboBox1 || watched == ComboBox1->lineEdit()) && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      Run(commands_.sendChatLine);
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TMainForm::ShowHint(const QString& longHint) {
  StatusBar1->SetPanelText(0, longHint);
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  Run(commands_.formShow);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    Run(commands_.formClose);
  }
  event->accept();
}

void TMainForm::changeEvent(QEvent* event) {
  // The platform's palette-change notice: the number displays and meters repaint.
  if (event->type() == QEvent::PaletteChange) RefreshDisplays();
  QMainWindow::changeEvent(event);
}

// ------------------------------------------------------------------------- RoutingView

void TMainForm::SetChecked(QToolButton* button, bool checked) {
  button->setChecked(checked);
}

bool TMainForm::MidiButtonPressed() const {
  return SpeedButton1->isChecked();
}
void TMainForm::SetMidiButton(bool pressed) {
  SetChecked(SpeedButton1, pressed);
}
bool TMainForm::KeyboardShown() const {
  return SpeedButton2->isChecked();
}
void TMainForm::SetDualButton(bool pressed) {
  SetChecked(SpeedButton14, pressed);
}
void TMainForm::ShowMessage(const QString& text) {
  prompter_.Message(text);
}
void TMainForm::ReportError(const QString& text) {
  prompter_.Error(text);
}

void TMainForm::SetLevel(Side part, int value) {
  Part(part).meter->SetValue(value);
}

void TMainForm::ShowKeyDown(int note, Side player) {
  emit keyDownShown(note, player);
}

void TMainForm::ShowKeyUp(int note, Side player) {
  emit keyUpShown(note, player);
}

void TMainForm::ClearKeyMarks() {
  emit keyMarksCleared();
}

void TMainForm::ShowChannel(Side part, int channel) {
  Part(part).channelSpin->SetValue(channel);
  Part(part).channelDisplay->SetValue(channel + 1);
}

void TMainForm::ShowSetting(Side part, Setting setting, int value) {
  PartControls& p = Part(part);
  switch (setting) {
    case Setting::Program:
      p.programSpin->SetValue(value);
      p.programDisplay->SetValue(value);
      break;
    case Setting::Pan: p.pan->SetValue(value); break;
    case Setting::Reverb: p.reverb->SetValue(value); break;
    case Setting::Chorus: p.chorus->SetValue(value); break;
    case Setting::Volume: p.volume->SetValue(value); break;
  }
}

void TMainForm::RefreshDisplays() {
  for (QWidget* w :
       std::initializer_list<QWidget*>{Ekisyou1, Ekisyou2, Ekisyou3, Ekisyou4, LevelMeter1, LevelMeter2}) {
    if (w != nullptr) w->update();
  }
}

// ---------------------------------------------------------------------- settings, chat

void TMainForm::SetDestinationHint(int i, const QString& hint) {
  if (i < 1 || i > kDestinations) return;
  SetHint(speedButtons[static_cast<std::size_t>(7 + i)], hint);
}

void TMainForm::SetDestinationMenuCaption(int i, const QString& caption) {
  if (i < 1 || i > kDestinations) return;
  destinationItems[static_cast<std::size_t>(i - 1)]->setText(caption);
}

void TMainForm::SetChatScrollBars(bool horizontalToo) {
  // With a horizontal scroll bar long lines run on; with the vertical one alone they wrap.
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(horizontalToo ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  Memo1->setLineWrapMode(horizontalToo ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
}

void TMainForm::AppendChatLine(const QString& text) {
  // appendPlainText takes the text as it stands: nothing in it is read as markup. The window
  // starts with one empty line, which an append into an empty document would fill.
  Memo1->appendPlainText(chatEmptyFirstLine_ ? QStringLiteral("\n") + text : text);
  chatEmptyFirstLine_ = false;
}

void TMainForm::ClearChat() {
  Memo1->clear();
  chatEmptyFirstLine_ = false;
}

bool TMainForm::ComButtonPressed() const {
  return SpeedButton6->isChecked();
}
void TMainForm::SetComButton(bool pressed) {
  SetChecked(SpeedButton6, pressed);
}
void TMainForm::SetStatusPanel(int panel, const QString& text) {
  StatusBar1->SetPanelText(panel, text);
}
QString TMainForm::StatusText(int panel) const {
  return StatusBar1->PanelText(panel);
}

void TMainForm::SetClockTimer(bool on) {
  if (on) {
    Timer1->start();
  } else {
    Timer1->stop();
    StatusBar1->SetLineFigures({});
  }
}

void TMainForm::ShowLineFigures(const QString& text) {
  StatusBar1->SetLineFigures(text);
}

void TMainForm::ShowCallState(const QString& text, const QString& hint) {
  StatusBar1->SetCallState(text, hint);
}

bool TMainForm::ClockRunning() const {
  return Timer1->isActive();
}
QString TMainForm::InputText() const {
  return ComboBox1->currentText();
}
void TMainForm::SetInputText(const QString& text) {
  ComboBox1->setEditText(text);
}

QStringList TMainForm::History() const {
  QStringList lines;
  for (int i = 0; i < ComboBox1->count(); ++i) lines << ComboBox1->itemText(i);
  return lines;
}

void TMainForm::ShowHistory(const QStringList& newestFirst) {
  // Refilling an editable combo box may replace its edit text; keep what is typed.
  const QString typed = ComboBox1->currentText();
  ComboBox1->clear();
  ComboBox1->addItems(newestFirst);
  ComboBox1->setEditText(typed);
}

void TMainForm::FocusInput() {
  ComboBox1->setFocus(Qt::OtherFocusReason);
}

void TMainForm::KeyboardClosedByUser() {
  SetChecked(SpeedButton2, false);
}

// ---------------------------------------------------------------------------- handlers

void TMainForm::Button11Click() {
  QWidget* keyboard = commands_.keyboardWindow ? commands_.keyboardWindow() : nullptr;
  if (keyboard == nullptr) return;
  if (keyboard->isVisible()) {
    SetChecked(SpeedButton2, false);
    keyboard->hide();
    return;
  }
  SetChecked(SpeedButton2, true);
  keyboard->show();
  // Brought back onto the screen, the tests in this order.
  const QScreen* screen = keyboard->screen() != nullptr ? keyboard->screen() : QApplication::primaryScreen();
  const QSize screenSize = screen->geometry().size();
  const QRect frame = keyboard->frameGeometry();
  int left = frame.left();
  int top = frame.top();
  if (left > screenSize.width()) left = screenSize.width() - frame.width();
  if (top > screenSize.height()) top = screenSize.height() - frame.height();
  if (left < -frame.width()) left = 0;
  if (top < -frame.height()) top = 0;
  if (left != frame.left() || top != frame.top()) keyboard->move(left, top);
}

void TMainForm::Exit1Click() {
  if (commands_.closeMidiDevices) commands_.closeMidiDevices();
  close();
}

void TMainForm::KS1Click() {
  if (!commands_.toneSetup) return;
  const QStringList previous = OpenDialog1->selectedFiles();
  if (!previous.isEmpty() && !previous.front().isEmpty() && QFileInfo(previous.front()).isFile()) {
    SaveDialog1->selectFile(previous.front());
  }
  if (SaveDialog1->exec() != QDialog::Accepted) return;
  const QStringList chosen = SaveDialog1->selectedFiles();
  if (chosen.isEmpty() || chosen.front().isEmpty()) return;
  const QString path = chosen.front();
  if (QFileInfo::exists(path) && !prompter_.Confirm(path + kOverwrite)) return;
  // A failed write throws; the handler's boundary (Run) reports it.
  ToneFile::Write(path, commands_.toneSetup());
}

void TMainForm::KO1Click() {
  if (!commands_.loadToneSetup) return;
  if (OpenDialog1->exec() != QDialog::Accepted) return;
  const QStringList chosen = OpenDialog1->selectedFiles();
  if (chosen.isEmpty() || chosen.front().isEmpty()) return;
  LoadToneFile(chosen.front());
}

void TMainForm::LoadToneFile(const QString& path) {
  if (!QFileInfo(path).isFile()) {
    prompter_.Beep();
    return;
  }
  // Read checks the whole file before anything is taken: a bad file changes nothing and its
  // error reaches the handler's boundary (Run).
  const ToneSetup setup = ToneFile::Read(path);
  commands_.loadToneSetup(setup);
}

void PlayThrough(MainFormCommands& c, RoutingEngine& engine) {
  c.midiButton = [&engine](bool pressed) { engine.SpeedButton1Click(pressed); };
  c.midiMenu = [&engine] { engine.KMIDI1Click(); };
  c.allNotesOff = [&engine] { engine.AllNotesOffButton(); };
  c.gmReset = [&engine] { engine.GmResetButton(); };
  c.dualPlay = [&engine] { engine.ToggleDualPlay(); };
  c.channelChanged = [&engine](Side side, int channel) { engine.ChannelChanged(side, channel); };
  c.programChanged = [&engine](Side side, int program) { engine.ProgramChanged(side, program); };
  c.settingChanged = [&engine](Side side, Setting setting, int value) {
    engine.SettingChanged(side, setting, value);
  };
  c.closeMidiDevices = [&engine] { engine.CloseMidiDevices(); };
  c.toneSetup = [&engine] { return engine.CurrentToneSetup(); };
  c.loadToneSetup = [&engine](const ToneSetup& setup) { engine.LoadToneSetup(setup); };
}
