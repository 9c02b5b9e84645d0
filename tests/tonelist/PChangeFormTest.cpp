#include <gtest/gtest.h>

#include <QDir>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <optional>
#include <string>
#include <vector>

#include "controls/UiFonts.h"
#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"
#include "support/XInput.h"
#include "tonelist/GmPrograms.h"
#include "tonelist/PChangeForm.h"
#include "tonelist/ToneListBox.h"

namespace {

// The test runner lists the tests by starting this program outside ctest, without the
// environment ctest gives each test; without a display that start would fail.
const bool kHeadless = [] {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  return true;
}();

using Messages = std::vector<ShortMessage>;
using Bytes = std::vector<std::uint8_t>;

// The audition messages, on channel ch.
ShortMessage ProgramChange(int ch, int program) {
  return PackShort(0xC0 + ch, program, 0);
}
ShortMessage TestNoteOn(int ch) {
  return PackShort(0x90 + ch, 64, 100);
}
ShortMessage TestNoteOffLoud(int ch) {
  return PackShort(0x80 + ch, 64, 100);
}
ShortMessage TestNoteOff(int ch) {
  return PackShort(0x80 + ch, 64, 0);
}
ShortMessage TestNoteRelease(int ch) {
  return PackShort(0x90 + ch, 64, 0);
}

Messages operator+(Messages a, const Messages& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Controller 123 on every channel in turn.
Messages AllNotesOff() {
  Messages m;
  for (int ch = 0; ch < 16; ++ch) m.push_back(PackShort(0xB0 + ch, 123, 0));
  return m;
}

// The whole table as the parts are refreshed: program, volume, pan, reverb, chorus per channel.
Messages Refresh(const ChannelSettings& t) {
  Messages m;
  for (std::size_t ch = 0; ch < 16; ++ch) {
    const int c = static_cast<int>(ch);
    m.push_back(PackShort(0xC0 + c, t.program[ch], 0));
    m.push_back(PackShort(0xB0 + c, 7, t.volume[ch]));
    m.push_back(PackShort(0xB0 + c, 10, t.pan[ch]));
    m.push_back(PackShort(0xB0 + c, 91, t.reverb[ch]));
    m.push_back(PackShort(0xB0 + c, 93, t.chorus[ch]));
  }
  return m;
}

std::string Hex(const Messages& m) {
  std::string s;
  char buf[16];
  for (ShortMessage x : m) {
    std::snprintf(buf, sizeof buf, "%06X ", x);
    s += buf;
  }
  return s;
}

// Variadic so that a braced list with commas can be the expectation.
#define EXPECT_MESSAGES(actual, ...) EXPECT_EQ(actual, (__VA_ARGS__)) << "got " << Hex(actual)

constexpr int kLocal = 2;   // local part's channel in these tests
constexpr int kRemote = 5;  // remote part's channel

class ToneListDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    mainWindow.setGeometry(120, 60, 640, 420);
    mainWindow.show();
    engine.OpenMidiDevices();
    ASSERT_TRUE(engine.OutputOpen());
    engine.ChannelChanged(Side::Local, kLocal);
    engine.ChannelChanged(Side::Remote, kRemote);
    engine.Channels().program[kLocal] = 10;
    engine.Channels().program[kRemote] = 33;
    link.connected = true;
    list = form.findChild<ToneListBox*>(QStringLiteral("ListBox1"));
    ok = form.findChild<QPushButton*>(QStringLiteral("Button1"));
    cancel = form.findChild<QPushButton*>(QStringLiteral("Button2"));
    ASSERT_TRUE(list && ok && cancel);
  }

  // Opens the dialog as the part's program display does, and forgets what went before.
  void OpenFor(int channel) {
    form.ToggleFor(channel);
    ASSERT_TRUE(form.isVisible());
    Forget();
  }
  void Forget() {
    midi.out->Clear();
    link.units.clear();
    view.events.clear();
    view.shown.clear();
  }

  QPoint At(int entry) {
    list->scrollToItem(list->item(entry));
    const QRect r = list->visualItemRect(list->item(entry));
    EXPECT_TRUE(list->viewport()->rect().contains(r.center())) << "entry " << entry << " not in view";
    return r.center();
  }
  void Press(int entry, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mousePress(list->viewport(), button, {}, At(entry));
  }
  void MoveTo(int entry) { QTest::mouseMove(list->viewport(), At(entry)); }
  void Release(int entry, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseRelease(list->viewport(), button, {}, At(entry));
  }
  void DoubleClick(int entry) {
    const QPoint p = At(entry);
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, p);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, p);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, p);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, p);
  }
  // Selects an entry without a sound, as if the player had moved there earlier.
  void SelectQuietly(int entry) {
    list->SetSelected(entry);
    Forget();
  }
  int Stored(int channel) const { return engine.Channels().program[static_cast<std::size_t>(channel)]; }

  FakeMidiSystem midi;
  RecordingRoutingView view;
  FixedDeviceChoice choice;
  RecordingLink link;
  RoutingEngine engine{midi, view, choice, link};
  QWidget mainWindow;
  TPChangeForm form{engine, &mainWindow};
  ToneListBox* list = nullptr;
  QPushButton* ok = nullptr;
  QPushButton* cancel = nullptr;
};

// ---------------------------------------------------------------------------------- showing

TEST_F(ToneListDialog, HasItsCaptionButtonsAndAllEntriesInColumnsOfSixteen) {
  EXPECT_EQ(form.windowTitle(), QStringLiteral("音色ﾘｽﾄ"));
  EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(form.isModal());
  EXPECT_EQ(ok->text(), QStringLiteral("OK"));
  EXPECT_TRUE(ok->isDefault());
  EXPECT_EQ(cancel->text(), QStringLiteral("ｷｬﾝｾﾙ"));
  ASSERT_EQ(list->count(), 128);
  for (int n = 0; n < 128; ++n) {
    EXPECT_EQ(list->item(n)->text().toStdString(), kGmPrograms[static_cast<std::size_t>(n)]);
  }
  OpenFor(kLocal);
  const QFontMetrics metrics(list->font());
  EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("iiii.")),
            metrics.horizontalAdvance(QStringLiteral("WWWW:")))
      << "a fixed-pitch font";
  EXPECT_EQ(QFontInfo(list->font()).family(), QFontInfo(UiFonts::Gothic(12)).family())
      << "the chat window's fixed-pitch Japanese face";
  // Entries 12 pixels apart run down a column of 16, then on in the next one to the right.
  const QRect first = list->visualItemRect(list->item(0));
  EXPECT_EQ(list->visualItemRect(list->item(1)).top() - first.top(), 12);
  EXPECT_EQ(first.height(), 12) << "an entry fills its row";
  EXPECT_EQ(list->visualItemRect(list->item(15)).left(), first.left());
  EXPECT_EQ(list->visualItemRect(list->item(16)).top(), first.top());
  EXPECT_GT(list->visualItemRect(list->item(16)).left(), first.left());
  // Five columns fill the view; the rest is reached by scrolling sideways.
  const int columnWidth = list->visualItemRect(list->item(16)).left() - first.left();
  EXPECT_EQ(list->viewport()->width() / columnWidth, 5);
  EXPECT_GT(list->horizontalScrollBar()->maximum(), 0);
  // Every name is readable in full at the dialog's size.
  for (int n = 0; n < 128; ++n) {
    EXPECT_LE(metrics.horizontalAdvance(list->item(n)->text()), list->visualItemRect(list->item(n)).width())
        << n;
  }
}

TEST_F(ToneListDialog, AThinScrollBarStillLeavesColumnsOfSixteen) {
  list->setStyleSheet(QStringLiteral("QScrollBar:horizontal { height: 4px; }"));
  OpenFor(kLocal);
  QCoreApplication::processEvents();
  ASSERT_LT(list->horizontalScrollBar()->height(), 8);
  const QRect first = list->visualItemRect(list->item(0));
  EXPECT_EQ(list->visualItemRect(list->item(15)).left(), first.left());
  EXPECT_EQ(list->visualItemRect(list->item(16)).top(), first.top());
  EXPECT_GT(list->visualItemRect(list->item(16)).left(), first.left());
}

TEST_F(ToneListDialog, WideningTheDialogWidensTheColumnsAndKeepsSixteenEntriesEach) {
  OpenFor(kLocal);
  const int before = list->visualItemRect(list->item(0)).width();
  form.resize(form.width() + 200, form.height() + 100);
  QCoreApplication::processEvents();
  EXPECT_EQ(form.height(), 264) << "the columns keep their 16 entries";
  const QRect first = list->visualItemRect(list->item(0));
  EXPECT_GT(first.width(), before + 30);
  EXPECT_EQ(list->visualItemRect(list->item(16)).left() - first.left(), first.width());
  EXPECT_EQ(list->visualItemRect(list->item(15)).left(), first.left());
  EXPECT_EQ(list->viewport()->width() / first.width(), 5);
  const QPushButton* const buttons[] = {ok, cancel};
  for (const QPushButton* b : buttons) {
    EXPECT_GT(b->geometry().top(), list->geometry().bottom());
    EXPECT_LE(b->geometry().right(), form.width());
  }
  EXPECT_EQ(form.width() - cancel->geometry().right(), 528 - (432 + 72) + 1)
      << "buttons follow the right edge";
}

TEST_F(ToneListDialog, OpensForTheRemotePartWithItsStoredProgramSelectedBesideTheMainWindow) {
  OpenFor(kRemote);
  EXPECT_EQ(form.EditChannel(), kRemote);
  EXPECT_EQ(list->Selected(), 33);
  EXPECT_EQ(form.pos(), mainWindow.frameGeometry().topLeft() + QPoint(200, 70));
  EXPECT_TRUE(midi.out->shorts.empty()) << "showing plays nothing";

  // Auditioning sounds on the remote part's channel only.
  Press(40);
  Release(40);
  EXPECT_MESSAGES(midi.out->shorts,
                  (Messages{ProgramChange(kRemote, 40), TestNoteOn(kRemote), TestNoteOff(kRemote)}));
}

TEST_F(ToneListDialog, EveryShowingStartsFromTheStoredProgram) {
  OpenFor(kLocal);
  Press(50);
  Release(50);
  form.ToggleFor(kLocal);  // hidden from the main window
  ASSERT_FALSE(form.isVisible());
  form.ToggleFor(kLocal);
  EXPECT_EQ(list->Selected(), 10);
  form.ToggleFor(kLocal);
  engine.Channels().program[kLocal] = 77;  // e.g. set with the spin button meanwhile
  form.ToggleFor(kLocal);
  EXPECT_EQ(list->Selected(), 77);
  EXPECT_EQ(form.EditChannel(), kLocal);
}

// ------------------------------------------------------------------------------ the mouse

TEST_F(ToneListDialog, PressAndDragPlaysEachEntryAndEndsThePreviousNoteLoudly) {
  engine.SetOctaveShift(1);  // audition is never transposed
  engine.SetKeyShift(-3);
  OpenFor(kLocal);
  Press(40);
  MoveTo(40);  // no new entry, no sound
  MoveTo(41);
  MoveTo(42);
  EXPECT_EQ(list->Selected(), 42);
  Release(42);
  EXPECT_MESSAGES(midi.out->shorts,
                  (Messages{ProgramChange(kLocal, 40), TestNoteOn(kLocal),                           //
                            TestNoteOffLoud(kLocal), ProgramChange(kLocal, 41), TestNoteOn(kLocal),  //
                            TestNoteOffLoud(kLocal), ProgramChange(kLocal, 42), TestNoteOn(kLocal),  //
                            TestNoteOff(kLocal)}));
  EXPECT_EQ(Stored(kLocal), 10) << "audition stores nothing";
  EXPECT_TRUE(link.units.empty()) << "audition never reaches the peer";
  EXPECT_TRUE(view.Events("key").empty()) << "nor the keyboard window";
  EXPECT_TRUE(view.Events("level").empty());
  EXPECT_TRUE(view.shown.empty()) << "nor the part's display";
}

TEST_F(ToneListDialog, MovingWithoutTheButtonHeldPlaysNothing) {
  OpenFor(kLocal);
  Press(20);
  Release(20);
  Forget();
  QMouseEvent move(QEvent::MouseMove, QPointF(At(23)), list->viewport()->mapToGlobal(QPointF(At(23))),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &move);
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_EQ(list->Selected(), 20);
}

TEST_F(ToneListDialog, RightOrMiddlePressTakesTheAuditionBackAndCloses) {
  for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
    OpenFor(kRemote);
    Press(60);
    Release(60);
    Forget();
    Press(61, button);
    EXPECT_FALSE(form.isVisible());
    Release(61, button);
    EXPECT_MESSAGES(midi.out->shorts,
                    Messages{ProgramChange(kRemote, 33)} + AllNotesOff() + Messages{TestNoteOff(kRemote)});
    EXPECT_EQ(Stored(kRemote), 33);
    EXPECT_TRUE(link.units.empty());
  }
}

// --------------------------------------------------------------------------------- the keys

struct ArrowCase {
  int from;
  Qt::Key key;
  std::optional<int> to;  // nothing: the key does nothing at all
};
void PrintTo(const ArrowCase& c, std::ostream* os) {
  *os << "key " << std::hex << c.key << std::dec << " on " << c.from;
}

class ArrowKeys : public ToneListDialog, public ::testing::WithParamInterface<ArrowCase> {};

TEST_P(ArrowKeys, PlayWhatTheListMovesToAndStopAtItsEdges) {
  const ArrowCase& c = GetParam();
  OpenFor(kRemote);
  SelectQuietly(c.from);
  QTest::keyPress(list, c.key);
  if (!c.to) {
    EXPECT_EQ(list->Selected(), c.from);
    EXPECT_MESSAGES(midi.out->shorts, Messages{});
  } else {
    EXPECT_EQ(list->Selected(), *c.to);
    EXPECT_MESSAGES(midi.out->shorts,
                    (Messages{TestNoteOff(kRemote), ProgramChange(kRemote, *c.to), TestNoteOn(kRemote)}));
  }
  Forget();
  QTest::keyRelease(list, c.key);
  EXPECT_MESSAGES(midi.out->shorts, Messages{TestNoteRelease(kRemote)});
  EXPECT_TRUE(link.units.empty());
  EXPECT_EQ(Stored(kRemote), 33);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ArrowKeys,
    ::testing::Values(ArrowCase{0, Qt::Key_Up, std::nullopt}, ArrowCase{1, Qt::Key_Up, 0},
                      ArrowCase{16, Qt::Key_Up, 15}, ArrowCase{127, Qt::Key_Down, std::nullopt},
                      ArrowCase{126, Qt::Key_Down, 127}, ArrowCase{15, Qt::Key_Down, 16},
                      ArrowCase{0, Qt::Key_Left, std::nullopt}, ArrowCase{15, Qt::Key_Left, std::nullopt},
                      ArrowCase{16, Qt::Key_Left, 0}, ArrowCase{127, Qt::Key_Left, 111},
                      ArrowCase{0, Qt::Key_Right, 16}, ArrowCase{100, Qt::Key_Right, 116},
                      ArrowCase{111, Qt::Key_Right, 127}, ArrowCase{112, Qt::Key_Right, 127},
                      ArrowCase{120, Qt::Key_Right, 127}, ArrowCase{127, Qt::Key_Right, 127}));

TEST_F(ToneListDialog, AHeldArrowKeyReleasesTheTestNoteOnlyWhenLetGo) {
  OpenFor(kLocal);
  SelectQuietly(40);
  QTest::keyPress(list, Qt::Key_Down);
  QKeyEvent repeatRelease(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier, QString(), true);
  QCoreApplication::sendEvent(list, &repeatRelease);
  QKeyEvent repeatPress(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, QString(), true);
  QCoreApplication::sendEvent(list, &repeatPress);
  QTest::keyRelease(list, Qt::Key_Down);
  EXPECT_EQ(list->Selected(), 42);
  EXPECT_MESSAGES(midi.out->shorts,
                  (Messages{TestNoteOff(kLocal), ProgramChange(kLocal, 41), TestNoteOn(kLocal),  //
                            TestNoteOff(kLocal), ProgramChange(kLocal, 42), TestNoteOn(kLocal),  //
                            TestNoteRelease(kLocal)}));
}

TEST_F(ToneListDialog, ACharacterKeyReleasesTheTestNoteOnPressAndOnRelease) {
  OpenFor(kLocal);
  QTest::keyClick(list, Qt::Key_X, Qt::NoModifier);
  EXPECT_MESSAGES(midi.out->shorts, (Messages{TestNoteRelease(kLocal), TestNoteRelease(kLocal)}));
}

TEST_F(ToneListDialog, OtherNavigationKeysMoveSilentlyAndArrowsGoOnFromWhereTheListIs) {
  OpenFor(kLocal);
  SelectQuietly(40);
  QTest::keyPress(list, Qt::Key_End);
  EXPECT_EQ(list->Selected(), 127);
  EXPECT_TRUE(midi.out->shorts.empty());
  QTest::keyPress(list, Qt::Key_Up);
  EXPECT_EQ(list->Selected(), 126);
  EXPECT_MESSAGES(midi.out->shorts,
                  (Messages{TestNoteOff(kLocal), ProgramChange(kLocal, 126), TestNoteOn(kLocal)}));
}

// ------------------------------------------------------------------------------- the choice

struct OkCase {
  const char* what;
  bool local;
  bool dual;
  bool reachesPeer;
};
void PrintTo(const OkCase& c, std::ostream* os) {
  *os << c.what;
}

class OkButton : public ToneListDialog, public ::testing::WithParamInterface<OkCase> {};

TEST_P(OkButton, StoresShowsRefreshesAndOnlyTheLocalPartWithoutDualPlayReachesThePeer) {
  const OkCase& c = GetParam();
  engine.SetDualPlay(c.dual);
  const int ch = c.local ? kLocal : kRemote;
  const Side part = c.local ? Side::Local : Side::Remote;
  OpenFor(ch);
  Press(70);
  Release(70);
  Forget();
  QTest::mouseClick(ok, Qt::LeftButton);

  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(Stored(ch), 70);
  EXPECT_EQ(Stored(c.local ? kRemote : kLocal), c.local ? 33 : 10);
  EXPECT_EQ(view.Shown(part, Setting::Program), 70);
  const Messages playLocal = c.reachesPeer ? Messages{ProgramChange(kLocal, 70)} : Messages{};
  EXPECT_MESSAGES(midi.out->shorts, Refresh(engine.Channels()) + playLocal + AllNotesOff());
  if (c.reachesPeer) {
    EXPECT_EQ(link.units, (std::vector<Bytes>{{0xFF, 0xC0 + kLocal, 70, 0}}));
  } else {
    EXPECT_TRUE(link.units.empty());
  }
  EXPECT_EQ(view.Events("refreshdisplays").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Parts, OkButton,
                         ::testing::Values(OkCase{"local part, dual play off", true, false, true},
                                           OkCase{"local part, dual play on", true, true, false},
                                           OkCase{"remote part, dual play off", false, false, false},
                                           OkCase{"remote part, dual play on", false, true, false}));

TEST_F(ToneListDialog, EnterChoosesTheSelectedEntryLikeOk) {
  OpenFor(kLocal);
  QTest::keyClick(list, Qt::Key_Down);
  Forget();
  QTest::keyClick(list, Qt::Key_Return);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(Stored(kLocal), 11);
  EXPECT_EQ(link.units, (std::vector<Bytes>{{0xFF, 0xC0 + kLocal, 11, 0}}));
}

// On a real X display, with keys and the click through the X server: the list has the focus
// when the dialog opens, and Return chooses what the click selected.
TEST_F(ToneListDialog, OnX11AClickedEntryIsChosenByReturn) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  OpenFor(kLocal);
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  ASSERT_TRUE(xinput::ClickAt(list->viewport(), At(20)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->currentRow() == 20; }));
  ASSERT_TRUE(xinput::Key(QStringLiteral("Down")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->currentRow() == 21; }));
  Forget();
  ASSERT_TRUE(xinput::Key(QStringLiteral("Return")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }));
  EXPECT_EQ(Stored(kLocal), 21);
  EXPECT_EQ(link.units, (std::vector<Bytes>{{0xFF, 0xC0 + kLocal, 21, 0}}));
}

TEST_F(ToneListDialog, DoubleClickChoosesClosesAndTheTrailingPressIsSilent) {
  OpenFor(kLocal);
  DoubleClick(50);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(Stored(kLocal), 50);
  ChannelSettings table = engine.Channels();
  table.program[kLocal] = 50;
  // The first click auditions; the double-click applies and closes; the press that ends it
  // plays nothing, and only the closing release's note-off follows.
  EXPECT_MESSAGES(midi.out->shorts,
                  Messages{ProgramChange(kLocal, 50), TestNoteOn(kLocal), TestNoteOff(kLocal)} +
                      Refresh(table) + Messages{ProgramChange(kLocal, 50)} + AllNotesOff() +
                      Messages{TestNoteOff(kLocal)});
  EXPECT_EQ(link.units, (std::vector<Bytes>{{0xFF, 0xC0 + kLocal, 50, 0}}));

  // The next showing listens to the mouse again.
  OpenFor(kLocal);
  EXPECT_EQ(list->Selected(), 50);
  Press(51);
  EXPECT_MESSAGES(midi.out->shorts, (Messages{ProgramChange(kLocal, 51), TestNoteOn(kLocal)}));
}

TEST_F(ToneListDialog, CancelAfterSeveralAuditionsRestoresTheStoredProgramAndChangesNothing) {
  OpenFor(kLocal);
  Press(20);
  MoveTo(21);
  Release(21);
  QTest::keyClick(list, Qt::Key_Right);
  QTest::keyClick(list, Qt::Key_Down);
  ASSERT_EQ(list->Selected(), 38);
  Forget();
  QTest::mouseClick(cancel, Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_MESSAGES(midi.out->shorts, Messages{ProgramChange(kLocal, 10)} + AllNotesOff());
  EXPECT_EQ(Stored(kLocal), 10);
  EXPECT_TRUE(view.shown.empty()) << "the part's display is untouched";
  EXPECT_TRUE(link.units.empty());
}

TEST_F(ToneListDialog, EscapeIsCancel) {
  OpenFor(kRemote);
  Press(90);
  Release(90);
  Forget();
  QTest::keyPress(list, Qt::Key_Escape);
  EXPECT_FALSE(form.isVisible());
  EXPECT_MESSAGES(midi.out->shorts, Messages{ProgramChange(kRemote, 33)} + AllNotesOff());
}

TEST_F(ToneListDialog, TheCloseBoxEndsTheSoundButTakesNothingBack) {
  OpenFor(kRemote);
  Press(90);
  Forget();
  form.close();
  EXPECT_FALSE(form.isVisible());
  EXPECT_MESSAGES(midi.out->shorts, AllNotesOff());
  EXPECT_EQ(Stored(kRemote), 33);
}

TEST_F(ToneListDialog, HidingFromTheMainWindowAppliesAndRestoresNothing) {
  OpenFor(kRemote);
  Press(90);
  Release(90);
  Forget();
  form.ToggleFor(kLocal);  // the other part's display: still only hides
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.EditChannel(), kRemote);
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_TRUE(view.events.empty());
  EXPECT_TRUE(link.units.empty());
  EXPECT_EQ(Stored(kRemote), 33);
}

TEST_F(ToneListDialog, WithTheOutputClosedAuditionAndCancelSendNothing) {
  engine.CloseMidiDevices();
  OpenFor(kLocal);
  Press(30);
  MoveTo(31);
  Release(31);
  QTest::keyClick(list, Qt::Key_Down);
  Press(40, Qt::RightButton);
  EXPECT_FALSE(form.isVisible());
  OpenFor(kLocal);
  QTest::mouseClick(cancel, Qt::LeftButton);
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_EQ(Stored(kLocal), 10);
  EXPECT_EQ(view.Events("refreshdisplays").size(), 1u) << "closing still calls all-notes-off";
}

// ------------------------------------------------------------------------------ the picture

TEST_F(ToneListDialog, ScreenshotForAPerson) {
  engine.Channels().program[kRemote] = 88;
  OpenFor(kRemote);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const QString dir =
      qEnvironmentVariable("SONAVEL_TEST_OUTPUT", QStringLiteral(".")) + QStringLiteral("/tonelist");
  ASSERT_TRUE(QDir().mkpath(dir));
  const QImage image = form.grab().toImage();
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size() / image.devicePixelRatio(), form.size());
  const QString path = dir + QStringLiteral("/tonelist.png");
  ASSERT_TRUE(image.save(path));
  const QFontInfo font(list->font());
  std::printf("screenshot: %s (list font %s, %d px)\n", qPrintable(path), qPrintable(font.family()),
              font.pixelSize());
}

}  // namespace
