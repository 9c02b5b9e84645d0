#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

#include "MainFormRig.h"
#include "app/AboutBox.h"
#include "app/MainForm.h"
#include "app/StatusPanels.h"
#include "controls/Ekisyou.h"
#include "controls/LevelMeter.h"
#include "controls/MyTrackBar.h"
#include "controls/MyTrackBarV.h"
#include "controls/UpDownButton.h"
#include "link/CallReport.h"
#include "link/ComForm.h"
#include "support/XInput.h"

namespace {

struct ButtonPlace {
  int number;
  int left;
  int width;
  bool checkable;
  bool pressed;
  const char* tooltip;
  const char* statusTip;
};

const ButtonPlace kButtons[] = {
    {1, 6, 23, true, true, "MIDI Open/Close", "MIDI IN/OUT ﾃﾞﾊﾞｲｽ - MIDI ﾃﾞﾊﾞｲｽを開いたり閉じたりします。"},
    {2, 31, 23, true, true, "ｷｰﾎﾞｰﾄﾞ", "ｷｰﾎﾞｰﾄﾞ を表示します。"},
    {4, 56, 23, false, false, "ｵｰﾙﾉｰﾄｵﾌ", "ｵｰﾙﾉｰﾄｵﾌ - 音が鳴り止まないときに使います。"},
    {7, 81, 23, false, false, "GMﾘｾｯﾄ", "GMﾘｾｯﾄ - 音源にGMﾘｾｯﾄ信号を送ります。"},
    {14, 106, 23, true, false, "デュアル演奏", "デュアル演奏 - 二つの楽器を組み合せて同時に演奏します。"},
    {8, 144, 23, false, false, "接続先1", "接続先1 に接続します"},
    {9, 168, 23, false, false, "接続先2", "接続先2 に接続します"},
    {10, 192, 23, false, false, "接続先3", "接続先3 に接続します"},
    {11, 216, 23, false, false, "接続先4", "接続先4 に接続します"},
    {12, 240, 23, false, false, "接続先5", "接続先5 に接続します"},
    {13, 278, 24, false, false, "待機", "モデムを待機状態にして、相手から電話がかかるのを待ちます。"},
    {3, 303, 23, false, false, "切断", "通信を切断します。"},
    {6, 327, 23, true, false, "COMﾎﾟｰﾄ", "COMﾎﾟｰﾄを開きます。"},
    {5, 363, 23, false, false, "ｸﾘｱ", "ﾁｬｯﾄ ｳｨﾝﾄﾞｳの文章を全て消去します。"},
};

class MainFormLayout : public ::testing::Test {
 protected:
  RecordingPrompter prompter;
  TMainForm form{prompter};

  template <typename T>
  T* Find(const char* name) {
    T* w = form.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  // A widget's rectangle in the client area (the window below its menu bar).
  QRect InClient(QWidget* w) { return QRect(w->mapTo(form.centralWidget(), QPoint(0, 0)), w->size()); }
};

TEST_F(MainFormLayout, ClientAreaIsFixedAndSilverWithCaption) {
  EXPECT_EQ(form.centralWidget()->size(), QSize(532, 335));
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Sonavel"));
  EXPECT_EQ(form.palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
  EXPECT_EQ(form.font().pixelSize(), 12);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  form.show();
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window must not be resizable";
}

TEST_F(MainFormLayout, ToolbarButtonsSitAtTheirPlacesWithTheirHintsAndStates) {
  for (const ButtonPlace& b : kButtons) {
    SCOPED_TRACE(b.number);
    QToolButton* button = form.speedButtons.at(static_cast<std::size_t>(b.number));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->objectName(), QStringLiteral("SpeedButton%1").arg(b.number));
    EXPECT_EQ(InClient(button), QRect(b.left, 5, b.width, 23));
    EXPECT_EQ(button->isCheckable(), b.checkable);
    EXPECT_EQ(button->isChecked(), b.pressed);
    EXPECT_EQ(button->toolTip(), QString::fromUtf8(b.tooltip));
    EXPECT_EQ(button->statusTip(), QString::fromUtf8(b.statusTip));
    EXPECT_FALSE(button->icon().isNull());
  }
}

TEST_F(MainFormLayout, PartPanelsHoldTheirControlsAtTheirPlaces) {
  EXPECT_EQ(InClient(form.Panel1), QRect(1, 31, 93, 286));
  EXPECT_EQ(InClient(form.Panel2), QRect(96, 31, 93, 286));
  struct Place {
    QWidget* local;
    QWidget* remote;
    QRect rect;
  };
  const Place places[] = {
      {form.Ekisyou3, form.Ekisyou4, {45, 29, 26, 21}},
      {form.UpDownButton1, form.UpDownButton4, {71, 29, 15, 21}},
      {form.Ekisyou2, form.Ekisyou1, {34, 61, 37, 21}},
      {form.UpDownButton2, form.UpDownButton3, {71, 61, 15, 21}},
      {form.MyTrackBar1, form.MyTrackBar6, {33, 100, 43, 13}},
      {form.MyTrackBar2, form.MyTrackBar5, {33, 124, 43, 13}},
      {form.MyTrackBar3, form.MyTrackBar4, {33, 147, 43, 13}},
      {form.MyTrackBarV1, form.MyTrackBarV2, {33, 177, 19, 97}},
      {form.LevelMeter1, form.LevelMeter2, {61, 177, 15, 97}},
  };
  for (const Place& p : places) {
    SCOPED_TRACE(p.local->objectName().toStdString());
    EXPECT_EQ(p.local->parentWidget(), form.Panel1);
    EXPECT_EQ(p.remote->parentWidget(), form.Panel2);
    EXPECT_EQ(p.local->geometry(), p.rect);
    EXPECT_EQ(p.remote->geometry(), p.rect);
  }
  EXPECT_EQ(form.Image13->parentWidget(), form.Panel1);
  EXPECT_EQ(form.Image14->parentWidget(), form.Panel2);
  EXPECT_EQ(form.Image13->geometry().top(), 3);
  EXPECT_EQ(form.Image16->geometry().top(), 3);
}

TEST_F(MainFormLayout, PartControlsStartAtTheirDefaults) {
  EXPECT_EQ(form.UpDownButton1->Value(), 0);
  EXPECT_EQ(form.Ekisyou3->Value(), 1);
  EXPECT_EQ(form.UpDownButton4->Value(), 1);
  EXPECT_EQ(form.Ekisyou4->Value(), 2);
  EXPECT_EQ(form.UpDownButton2->Max(), 127);
  EXPECT_EQ(form.UpDownButton4->Max(), 15);
  EXPECT_EQ(form.MyTrackBar1->Value(), 64);
  EXPECT_EQ(form.MyTrackBar6->Value(), 64);
  EXPECT_EQ(form.MyTrackBar2->Value(), 0);
  EXPECT_EQ(form.MyTrackBarV1->Value(), 100);
  EXPECT_EQ(form.MyTrackBarV2->Value(), 100);
  EXPECT_EQ(form.Ekisyou3->FigureNum(), 2);
  EXPECT_EQ(form.Ekisyou2->FigureNum(), 3);
  EXPECT_EQ(form.MyTrackBar1->SWidth(), 10);
  EXPECT_EQ(form.MyTrackBarV1->SWidth(), 14);
  EXPECT_EQ(form.MyTrackBar3->CWidth(), 1);
  EXPECT_EQ(form.LevelMeter1->DownWait(), 25);
  EXPECT_EQ(form.LevelMeter2->Max(), 127);
}

TEST_F(MainFormLayout, ChatAreaAndStatusBarSitAtTheirPlaces) {
  EXPECT_EQ(InClient(form.Memo1), QRect(192, 31, 337, 258));
  EXPECT_TRUE(form.Memo1->isReadOnly());
  EXPECT_EQ(form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(form.Memo1->font().pixelSize(), 12);
  const QRect combo = InClient(form.ComboBox1);
  EXPECT_EQ(combo.topLeft(), QPoint(192, 294));
  EXPECT_EQ(combo.width(), 290);
  EXPECT_EQ(InClient(form.Button5), QRect(488, 296, 41, 18));
  EXPECT_EQ(form.Button5->text(), QStringLiteral("送信"));
  EXPECT_TRUE(form.Button5->isDefault());

  EXPECT_EQ(InClient(form.StatusBar1), QRect(0, 317, 532, 18));
  const int lefts[] = {0, 400, 425, 475, 525};
  const int widths[] = {400, 25, 50, 50, 20};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(form.StatusBar1->PanelRect(i).left(), lefts[i]) << i;
    EXPECT_EQ(form.StatusBar1->PanelRect(i).width(), widths[i]) << i;
  }
}

// A call's figures sit at the right end of panel 0 and leave every panel where it was; the
// hint keeps clear of them, and they go with the call's clock.
TEST_F(MainFormLayout, CallFiguresSitInsidePanel0AndGoWhenTheClockStops) {
  EXPECT_EQ(TStatusPanels::FiguresText(42, 0.015), QStringLiteral("往復 42ms 修復 1.5%"));
  EXPECT_EQ(TStatusPanels::FiguresText(-1, 0), QStringLiteral("往復 -- 修復 0.0%"));
  EXPECT_EQ(TStatusPanels::FiguresText(42, 0.015, 8), QStringLiteral("往復 42ms 修復 1.5% 揺れ吸収 8ms"));
  EXPECT_EQ(TStatusPanels::FiguresText(42, 0, 8, 0.004), QStringLiteral("往復 42ms 修復 0.0% 揺れ吸収 8ms 遅れ 0.4%"));
  EXPECT_TRUE(form.StatusBar1->FiguresRect().isEmpty());
  form.ShowLineFigures(TStatusPanels::FiguresText(42, 0.015));
  const QRect box = form.StatusBar1->FiguresRect();
  EXPECT_TRUE(form.StatusBar1->PanelRect(0).contains(box)) << box.x() << "," << box.width();
  EXPECT_GT(box.left(), 200);
  EXPECT_EQ(form.StatusBar1->PanelRect(1).left(), 400);
  form.SetClockTimer(true);
  form.SetClockTimer(false);
  EXPECT_TRUE(form.StatusBar1->LineFigures().isEmpty());
}

// On a real X display: the modem's wait, then an open call with its code, stay in the status bar
// beside the figures, and the pointer resting on them brings their meaning.
TEST_F(MainFormLayout, OnX11TheWaitAndTheCallsStateStayInTheStatusBarWithTheirHint) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  ChatLog chat{form};
  CallReport report{form, chat};
  form.show();
  form.activateWindow();  // hints come only to the active window
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  TStatusPanels& bar = *form.StatusBar1;
  form.ShowLineFigures(TStatusPanels::FiguresText(42, 0.015));
  modem::CallStatus waiting, open;
  waiting.waitingPort = 52000;
  open.carrier = true;
  open.protection = modem::CallProtection::Open;
  open.checkCode = "042917";
  const struct {
    const modem::CallStatus& status;
    const char *shown, *inHint;
  } steps[] = {{waiting, "待機中 ポート 52000", "52000"},
               {open, "暗号化・未確認 042917", "確認されていません。確認コード 042917"}};
  for (const auto& step : steps) {
    report.Update(step.status);
    ASSERT_EQ(bar.CallState(), QString::fromUtf8(step.shown));
    const QRect box = bar.CallStateRect();
    EXPECT_TRUE(bar.PanelRect(0).contains(box) && !box.intersects(bar.FiguresRect()));
    ASSERT_TRUE(xinput::MoveTo(&bar, QPoint(10, 10)));  // off the box: no hint there
    ASSERT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000));
    ASSERT_TRUE(xinput::MoveTo(&bar, box.center()));
    ASSERT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 3000)) << step.shown;
    EXPECT_TRUE(QToolTip::text().contains(QString::fromUtf8(step.inHint))) << QToolTip::text().toStdString();
  }
  form.close();
}

struct MenuItem {
  const char* name;
  const char* caption;
  const char* hint;
};

const MenuItem kMenuItems[] = {
    {"KO1", "音色設定のﾌｧｲﾙを開く(&O)", ""},
    {"KS1", "音色設定をﾌｧｲﾙに保存(&S)", ""},
    {"Exit1", "終了(&X)", "Sonavel を終了します。"},
    {"KMIDI1", "MIDIﾃﾞﾊﾞｲｽを開く・閉じる(&M)", "MIDI IN/OUT ﾃﾞﾊﾞｲｽ - MIDI ﾃﾞﾊﾞｲｽを開いたり閉じたりします。"},
    {"K11", "ｷｰﾎﾞｰﾄﾞの表示・非表示(&K)", "ｷｰﾎﾞｰﾄﾞ を表示します。"},
    {"N2", "ｵｰﾙﾉｰﾄｵﾌ(&A)", "ｵｰﾙﾉｰﾄｵﾌ - 音が鳴り止まないときに使います。"},
    {"GM1", "GMﾘｾｯﾄ(&R)", "GMﾘｾｯﾄ - 音源にGMﾘｾｯﾄ信号を送ります。"},
    {"KD1", "ﾃﾞｭｱﾙ演奏(&D)", "デュアル演奏 - 二つの楽器を組み合せて同時に演奏します。"},
    {"K3", "接続先１", ""},
    {"K4", "接続先２", ""},
    {"K5", "接続先３", ""},
    {"K6", "接続先４", ""},
    {"K7", "接続先５", ""},
    {"K8", "待機する(&T)", ""},
    {"KAddress", "相手に伝えるｱﾄﾞﾚｽをｺﾋﾟｰ(&A)",
     "待機中の TCP/IP ﾓﾃﾞﾑに電話をかけるためのｱﾄﾞﾚｽをｸﾘｯﾌﾟﾎﾞｰﾄﾞにｺﾋﾟｰします。"},
    {"KCOM1", "COMﾎﾟｰﾄを開く・閉じる(&C)", ""},
    {"K9", "切断する(&S)", ""},
    {"K10", "設定(&S)", ""},
    {"Help1", "ﾊﾞｰｼﾞｮﾝ情報(&V)", ""},
};

TEST_F(MainFormLayout, MenusCarryEveryCaptionAndHint) {
  const QList<QAction*> top = form.menuBar()->actions();
  QStringList bar;
  for (QAction* a : top) bar << a->text();
  EXPECT_EQ(
      bar, (QStringList{QStringLiteral("ﾌｧｲﾙ(&F)"), QStringLiteral("ＭＩＤＩ(&M)"),
                        QStringLiteral("通信(&T)"), QStringLiteral("設定(&S)"), QStringLiteral("ﾍﾙﾌﾟ(&H)")}));
  EXPECT_EQ(form.K2->title(), QStringLiteral("電話をかける"));
  for (const MenuItem& m : kMenuItems) {
    SCOPED_TRACE(m.name);
    auto* action = form.findChild<QAction*>(QString::fromLatin1(m.name));
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), QString::fromUtf8(m.caption));
    EXPECT_EQ(action->statusTip(), QString::fromUtf8(m.hint));
  }
  // Separators between the file commands and exit, and before hang-up.
  EXPECT_TRUE(form.K1->actions().at(2)->isSeparator());
  EXPECT_TRUE(form.View1->actions().at(4)->isSeparator());
}

TEST_F(MainFormLayout, DestinationNamesBecomeHintsAndMenuCaptions) {
  form.SetDestinationHint(3, QStringLiteral("山田|山田 に接続します"));
  form.SetDestinationMenuCaption(3, QStringLiteral("山田"));
  EXPECT_EQ(form.SpeedButton10->toolTip(), QStringLiteral("山田"));
  EXPECT_EQ(form.SpeedButton10->statusTip(), QStringLiteral("山田 に接続します"));
  EXPECT_EQ(form.destinationItems[2]->text(), QStringLiteral("山田"));
}

// ------------------------------------------------------------------------------- hints

TEST_F(MainFormLayout, TooltipsComeAfter200Ms) {
  EXPECT_EQ(form.SpeedButton4->style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay, nullptr, form.SpeedButton4),
            200);
}

TEST_F(MainFormLayout, HoveringAButtonShowsItsShortHintAsTooltipAndItsLongHintInPanel0) {
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), form.SpeedButton4->mapToGlobal(QPointF(5, 5)));
  QApplication::sendEvent(form.SpeedButton4, &enter);
  EXPECT_EQ(form.StatusText(0), QStringLiteral("ｵｰﾙﾉｰﾄｵﾌ - 音が鳴り止まないときに使います。"));
  QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), form.SpeedButton4->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(form.SpeedButton4, &help);
  EXPECT_EQ(QToolTip::text(), QStringLiteral("ｵｰﾙﾉｰﾄｵﾌ"));
  QToolTip::hideText();
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(form.SpeedButton4, &leave);
  EXPECT_EQ(form.StatusText(0), QString());
}

TEST_F(MainFormLayout, HoveringTheInputLineShowsNoTooltipButItsHintInPanel0) {
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), form.ComboBox1->mapToGlobal(QPointF(5, 5)));
  QApplication::sendEvent(form.ComboBox1, &enter);
  EXPECT_EQ(form.StatusText(0), QStringLiteral("ここに文字列をいれてリターンキーを押すと相手に送ります。"));
  QToolTip::hideText();
  QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), form.ComboBox1->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(form.ComboBox1, &help);
  EXPECT_FALSE(QToolTip::isVisible());
  EXPECT_TRUE(form.Button5->toolTip().isEmpty());
  EXPECT_EQ(form.Button5->statusTip(), QStringLiteral("文字列を相手のコンピュータに送ります。"));
}

TEST_F(MainFormLayout, HighlightingAMenuItemShowsItsHintInPanel0) {
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.menuBar()->setActiveAction(form.K1->menuAction());
  ASSERT_TRUE(QTest::qWaitFor([this] { return form.K1->isVisible(); }));
  form.K1->setActiveAction(form.Exit1);
  EXPECT_EQ(form.StatusText(0), QStringLiteral("Sonavel を終了します。"));
  form.K1->setActiveAction(form.KO1);
  EXPECT_EQ(form.StatusText(0), QString());
  form.K1->hide();
}

// -------------------------------------------------------------------- the other windows

TEST(AboutBox, ShowsNameVersionAndOkAndOnlyHides) {
  TAboutBox box;
  EXPECT_EQ(box.windowTitle(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_EQ(box.size(), QSize(272, 120));
  EXPECT_TRUE(box.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(box.ProductName->text(), QStringLiteral("Sonavel"));
  EXPECT_TRUE(box.ProductName->font().bold());
  EXPECT_TRUE(box.ProductName->font().underline());
  EXPECT_EQ(box.ProductName->font().pixelSize(), 24);
  EXPECT_EQ(box.Version->text(), QStringLiteral("Version 1.1"));
  EXPECT_TRUE(box.Version->font().italic());
  EXPECT_EQ(box.OKButton->size(), QSize(64, 26));
  EXPECT_TRUE(box.OKButton->isDefault());
  box.ShowCentred();
  EXPECT_FALSE(box.isModal());
  EXPECT_TRUE(box.isVisible());
  QTest::mouseClick(box.OKButton, Qt::LeftButton);
  EXPECT_FALSE(box.isVisible());
  EXPECT_NE(box.result(), QDialog::Rejected + 99);  // still the same instance, ready again
  box.ShowCentred();
  EXPECT_TRUE(box.isVisible());
}

TEST(ComForm, HasItsLabelsCancelAndPlacesItselfBesideTheMainWindow) {
  RecordingPrompter prompter;
  TMainForm main(prompter);
  main.move(300, 200);
  main.show();
  TComForm com(prompter, main);
  EXPECT_EQ(com.windowTitle(), QStringLiteral("接続中"));
  EXPECT_EQ(com.size(), QSize(272, 68));
  EXPECT_TRUE(com.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(com.Label1->pos(), QPoint(15, 6));
  EXPECT_EQ(com.Label2->pos(), QPoint(20, 26));
  EXPECT_EQ(com.Label3->pos(), QPoint(18, 47));
  EXPECT_EQ(com.Label3->text(), QStringLiteral("待ち時間  ３４秒"));
  EXPECT_EQ(com.Button1->geometry(), QRect(186, 34, 71, 23));
  EXPECT_EQ(com.Button1->text(), QStringLiteral("ｷｬﾝｾﾙ"));
  EXPECT_EQ(com.Timer1->interval(), 1000);
  com.SetLabel1(QStringLiteral("\"山田\"に接続中"));
  EXPECT_EQ(com.Label1->text(), QStringLiteral("\"山田\"に接続中"));
  com.ShowWarning(QStringLiteral("モデムの準備ができていません。"));
  com.ShowError(QStringLiteral("オープンエラー"));
  EXPECT_EQ(prompter.warnings, QStringList{QStringLiteral("モデムの準備ができていません。")});
  EXPECT_EQ(prompter.errors, QStringList{QStringLiteral("オープンエラー")});
  com.SetWaitTimer(true);
  EXPECT_TRUE(com.Timer1->isActive());
  com.SetWaitTimer(false);

  com.Timer1->start();
  com.show();
  EXPECT_EQ(com.frameGeometry().topLeft(), main.frameGeometry().topLeft() + QPoint(20, 20));
  int cancels = 0;
  com.onCancel = [&] {
    ++cancels;
    com.hide();
  };
  QTest::mouseClick(com.Button1, Qt::LeftButton);
  EXPECT_EQ(cancels, 1);
  EXPECT_FALSE(com.isVisible());
  EXPECT_FALSE(com.Timer1->isActive()) << "hiding stops the wait counter";

  int closes = 0;
  com.onCloseBox = [&] { ++closes; };
  main.move(100, 50);
  com.show();
  EXPECT_EQ(com.frameGeometry().topLeft(), main.frameGeometry().topLeft() + QPoint(20, 20));
  com.close();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(com.isVisible());
  // Labels show what they are given as text: a destination name is never markup.
  com.Label1->setText(QStringLiteral("<b>x</b>"));
  EXPECT_EQ(com.Label1->textFormat(), Qt::PlainText);
}

// ----------------------------------------------------------------------------- picture

TEST_F(MainFormLayout, ScreenshotAtStartUp) {
  const QByteArray out = qgetenv("SONAVEL_TEST_OUTPUT");
  if (out.isEmpty()) GTEST_SKIP() << "SONAVEL_TEST_OUTPUT not set";
  const QString dir = QString::fromLocal8Bit(out) + QStringLiteral("/mainwin");
  ASSERT_TRUE(QDir().mkpath(dir));
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.AppendChatLine(QStringLiteral("ATZ"));
  form.AppendChatLine(QStringLiteral("OK"));
  const QPixmap shot = form.grab();
  EXPECT_EQ(shot.deviceIndependentSize().toSize().width(), 532);
  EXPECT_TRUE(shot.save(dir + QStringLiteral("/main-window.png")));
  TAboutBox about;
  about.ShowCentred();
  EXPECT_TRUE(about.grab().save(dir + QStringLiteral("/about-box.png")));
}

}  // namespace
