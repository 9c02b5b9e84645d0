#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "KeyboardRig.h"
#include "support/WaitFor.h"
#include "support/XInput.h"
#include "keyboard/KeyboardForm.h"

using namespace keyboard;
using namespace keyboard_test;
using Messages = std::vector<ShortMessage>;

namespace {

QString OutputDir() {
  const QByteArray base = qgetenv("SONAVEL_TEST_OUTPUT");
  const QString dir =
      (base.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(base)) + QStringLiteral("/keyboard");
  QDir().mkpath(dir);
  return dir;
}

void SendMouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPoint pos) {
  QMouseEvent e(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

void SendKey(QWidget* w, QEvent::Type type, int key, quint32 scan, bool autoRepeat = false,
             Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent e(type, key, mods, scan, 0, 0, QString(), autoRepeat);
  QApplication::sendEvent(w, &e);
}

class Form : public ::testing::Test {
 protected:
  Form() {
    rig.view.marks = [this](int note, Side player, bool down) {
      if (down) {
        form.ShowKeyDown(note, player);
      } else {
        form.ShowKeyUp(note, player);
      }
    };
    form.SetPcLayout(PcLayout::Us);
  }
  void ShowPoweredUp() {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(WaitFor([this] { return !form.Instrument().Animating(); }));
    QCoreApplication::processEvents();
    rig.Clear();
  }
  // A grab paints the whole window, as the system would; what that sends follows the paint.
  QImage Grab() {
    QImage image = form.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCoreApplication::processEvents();
    return image;
  }
  void Click(PictureBox* picture, QPoint at = {3, 3}) {
    SendMouse(picture, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, at);
    SendMouse(picture, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, at);
  }
  void Drag(PictureBox* knob, QPoint from, QPoint to) {
    SendMouse(knob, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, from);
    SendMouse(knob, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, to);
    SendMouse(knob, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, to);
  }
  // The tests run at pixel ratio 1 and 2; they speak in window pixels.
  qreal Ratio() const { return form.devicePixelRatioF(); }
  QRect Device(const QRect& r) const { return {(r.topLeft() * Ratio()), (r.size() * Ratio())}; }
  QColor At(const QImage& image, QPoint p) const { return image.pixelColor(p * Ratio()); }
  QColor At(const QImage& image, int x, int y) const { return At(image, QPoint(x, y)); }
  // The window's picture of a panel glyph place against the lit panel's glyph strip.
  bool ShowsGlyph(const QImage& window, QPoint at, int glyph) {
    const KeyboardPictures pics(Ratio());
    const QImage strip = pics.PANEL3.toImage().convertToFormat(QImage::Format_RGB32);
    const QImage expected = strip.copy(Device(QRect(10 * glyph, kGlyphStripTop, 10, 17)));
    return window.copy(Device(QRect(kPanelRect.topLeft() + at, QSize(10, 17)))) == expected;
  }

  Rig rig;
  TKeyboardForm form{rig.engine};
};

TEST_F(Form, IsAnAlwaysOnTopToolWindowOfTheGivenSize) {
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Virtual Keyboard"));
  EXPECT_TRUE(form.windowFlags().testFlag(Qt::Tool));
  EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(form.size(), QSize(483, 131));
  EXPECT_EQ(form.PowerImage->geometry(), QRect(2, 4, 27, 18));
  EXPECT_EQ(form.PortaPinchImage->geometry(), QRect(346, 39, 9, 11));
  EXPECT_EQ(form.GmMarkImage->geometry(), QRect(452, 6, 27, 17));
  EXPECT_EQ(form.MarkerImage->geometry(), QRect(216, 57, 5, 3));
  EXPECT_EQ(form.Bevel1->geometry(), QRect(136, 5, 166, 49));
  for (auto* child : form.findChildren<PictureBox*>()) EXPECT_EQ(child->focusPolicy(), Qt::NoFocus);
}

TEST_F(Form, PicturesAreDrawnToTheirSizesAtEveryPixelRatio) {
  for (qreal ratio : {1.0, 2.0}) {
    const KeyboardPictures pics(ratio);
    const std::pair<const QPixmap*, QSize> sizes[] = {
        {&pics.KeyboardImage, {432, 66}}, {&pics.PANEL1, {164, 47}},      {&pics.PANEL2, {164, 47}},
        {&pics.PANEL3, {164, 64}},        {&pics.DownLowImage, {17, 13}}, {&pics.ZeroHighImage, {13, 13}},
        {&pics.TwelveLowImage, {17, 13}}, {&pics.wheelBack, {13, 97}},    {&pics.wheelKnob, {11, 15}},
        {&pics.portaBack, {43, 13}},      {&pics.portaKnob, {9, 11}},     {&pics.logo, {27, 17}},
        {&pics.Image2[1], {27, 18}},      {&pics.shiftLines, {19, 50}},   {&pics.rightLines, {20, 50}},
    };
    for (auto [pixmap, size] : sizes) {
      EXPECT_EQ(pixmap->deviceIndependentSize().toSize(), size) << ratio;
      EXPECT_EQ(pixmap->size(), size * ratio);
    }
    // Key colour under every mark, so that taking a mark away restores the key's look.
    const QImage keys = pics.KeyboardImage.toImage();
    for (int key = 0; key < kKeyCount; ++key) {
      const QRect r = MarkRect(key, Side::Local).translated(-kKeyboardOrigin);
      const QColor under = keys.pixelColor((r.center() * ratio));
      EXPECT_EQ(under,
                r.top() + kKeyboardOrigin.y() >= kWhiteMarkTop ? QColor(Qt::white) : QColor(Qt::black));
    }
  }
}

TEST_F(Form, PowerOffRenderingIsDarkAndDrawsNoGlyphs) {
  const QImage off = Grab();
  EXPECT_FALSE(form.Instrument().PowerOn());
  EXPECT_TRUE(rig.link.sent.empty()) << "painting with the power off sends nothing";
  const KeyboardPictures pics(Ratio());
  EXPECT_EQ(off.copy(Device(kPanelRect)), pics.PANEL1.toImage().convertToFormat(QImage::Format_RGB32));
  EXPECT_FALSE(ShowsGlyph(off, {59, 4}, 0));
  EXPECT_EQ(At(off, 0, 0), QColor(192, 192, 192));
  EXPECT_EQ(At(off, 300, 130), QColor(128, 128, 128));
  EXPECT_EQ(At(off, 44, 100), QColor(128, 128, 128));
  EXPECT_EQ(At(off, 0, 50), QColor(Qt::white));
}

TEST_F(Form, PowerOnRenderingShowsTheValuesGlyphs) {
  ShowPoweredUp();
  QImage on = Grab();
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), PortaMessages(0)}))
      << "a repaint of the window with the power on shows, and sends, range and portamento";
  EXPECT_TRUE(ShowsGlyph(on, {44, 4}, kGlyphNoSign));
  EXPECT_TRUE(ShowsGlyph(on, {59, 4}, 0));
  EXPECT_TRUE(ShowsGlyph(on, {139, 4}, 0));
  EXPECT_TRUE(ShowsGlyph(on, {151, 4}, 2));
  EXPECT_TRUE(ShowsGlyph(on, {127, 27}, 0));
  EXPECT_TRUE(ShowsGlyph(on, {139, 27}, kGlyphF));
  EXPECT_TRUE(ShowsGlyph(on, {151, 27}, kGlyphF));

  for (int i = 0; i < 3; ++i) Click(form.KeyShiftDownImage);
  Click(form.OctShiftUpImage);
  Click(form.pbtwelveImage);
  for (int i = 0; i < 2; ++i) Click(form.PbUpImage);
  for (int i = 0; i < 5; ++i) Click(form.PortaUpImage);
  on = Grab();
  EXPECT_TRUE(ShowsGlyph(on, {44, 4}, kGlyphPlus));
  EXPECT_TRUE(ShowsGlyph(on, {59, 4}, 1));
  EXPECT_TRUE(ShowsGlyph(on, {44, 27}, kGlyphMinus));
  EXPECT_TRUE(ShowsGlyph(on, {59, 27}, 3));
  EXPECT_TRUE(ShowsGlyph(on, {139, 4}, 1));
  EXPECT_TRUE(ShowsGlyph(on, {151, 4}, 4));
  EXPECT_TRUE(ShowsGlyph(on, {127, 27}, 0));
  EXPECT_TRUE(ShowsGlyph(on, {139, 27}, 0));
  EXPECT_TRUE(ShowsGlyph(on, {151, 27}, 5));
  EXPECT_EQ(form.MarkerImage->x(), 216 - 84 + 21);
}

TEST_F(Form, MarksOfBothPlayersOnOneKeyAndTheirRemoval) {
  ShowPoweredUp();
  form.ShowKeyDown(60, Side::Local);
  form.ShowKeyDown(60, Side::Remote);
  form.ShowKeyDown(61, Side::Remote);
  QCoreApplication::processEvents();
  EXPECT_TRUE(rig.link.sent.empty()) << "drawing a mark is no repaint of the panel";
  QImage img = Grab();
  const QColor red(255, 0, 0), green(0, 255, 0);
  EXPECT_EQ(At(img, MarkRect(24, Side::Local).center()), red);
  EXPECT_EQ(At(img, MarkRect(24, Side::Remote).center()), green);
  EXPECT_EQ(At(img, MarkRect(25, Side::Remote).center()), green);
  EXPECT_EQ(At(img, MarkRect(25, Side::Local).center()), QColor(Qt::black));
  form.ShowKeyUp(60, Side::Local);
  img = Grab();
  EXPECT_EQ(At(img, MarkRect(24, Side::Local).center()), QColor(Qt::white));
  EXPECT_EQ(At(img, MarkRect(24, Side::Remote).center()), green) << "the other player's mark stays";
  // Every mark's area filled exactly, nothing beside it.
  const QRect r = MarkRect(25, Side::Remote);
  for (int x = r.left() - 1; x <= r.right() + 1; ++x) {
    for (int y = r.top() - 1; y <= r.bottom() + 1; ++y) {
      EXPECT_EQ(At(img, x, y) == green, r.contains(x, y)) << x << "," << y;
    }
  }
}

TEST_F(Form, SystemRepaintsKeepHeldMarksWhileActivationAndClearRemoveThem) {
  ShowPoweredUp();
  form.ShowKeyDown(48, Side::Local);
  form.repaint();  // as the system may ask at any time (uncovering, another screen)
  EXPECT_EQ(At(Grab(), MarkRect(12, Side::Local).center()), QColor(255, 0, 0));
  form.FormActivate();
  QCoreApplication::processEvents();
  EXPECT_EQ(At(Grab(), MarkRect(12, Side::Local).center()), QColor(Qt::white));
  form.ShowKeyDown(48, Side::Remote);
  form.ClearKeyMarks();
  EXPECT_FALSE(form.Instrument().Marks().Any());
  EXPECT_EQ(At(Grab(), MarkRect(12, Side::Remote).center()), QColor(Qt::white));
}

TEST_F(Form, MarksOfNotesReleasedWhileHiddenDoNotComeBack) {
  form.setAttribute(Qt::WA_ShowWithoutActivating);  // as a tool window often is shown
  ShowPoweredUp();
  // The main window is the active one, as when its keyboard button hides this window.
  QWidget mainWindow;
  mainWindow.show();
  mainWindow.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&mainWindow));
  ASSERT_FALSE(form.isActiveWindow());
  form.ShowKeyDown(60, Side::Local);
  form.ShowKeyDown(67, Side::Remote);
  form.hide();  // from the main window: the keyboard window was not the active one
  // The note offs come while the window is hidden; the engine does not pass them on.
  rig.view.keyboardShown = false;
  rig.engine.PlayRemote(PackShort(0x80, 67, 0));
  EXPECT_FALSE(form.Instrument().Marks().Any());
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_FALSE(form.Instrument().Marks().Any());
  const QImage img = Grab();
  EXPECT_EQ(At(img, MarkRect(24, Side::Local).center()), QColor(Qt::white));
  EXPECT_EQ(At(img, MarkRect(31, Side::Remote).center()), QColor(Qt::white));
}

TEST_F(Form, ARepaintSendsRangeAndPortamentoOnlyWhenItShowsTheLitPanel) {
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  ASSERT_EQ(form.Instrument().Look(), PanelLook::HalfLit);
  QCoreApplication::processEvents();
  rig.Clear();
  form.repaint();  // the system's, during the power-on wait: the half-lit panel shows no values
  QCoreApplication::processEvents();
  EXPECT_TRUE(rig.link.sent.empty());
  ASSERT_TRUE(WaitFor([this] { return !form.Instrument().Animating(); }));
  QCoreApplication::processEvents();
  rig.Clear();
  form.repaint(KeyboardRect());  // leaves the panel alone
  QCoreApplication::processEvents();
  EXPECT_TRUE(rig.link.sent.empty());
  form.repaint(kPanelRect.adjusted(10, 10, -10, -10));
  QCoreApplication::processEvents();
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), PortaMessages(0)}));
}

TEST_F(Form, MousePlaysThroughTheEngineAndMarksTheKey) {
  ShowPoweredUp();
  SendMouse(&form, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {46 + 5, 62 + 60});
  EXPECT_TRUE(form.Instrument().Marks().Has(0, Side::Local));
  SendMouse(&form, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, {46 + 10, 62 + 20});
  SendMouse(&form, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {46 + 10, 62 + 20});
  EXPECT_EQ(rig.link.sent, (Messages{On(36, 80), On(36, 0), On(37, 80), On(37, 0)}));
  EXPECT_FALSE(form.Instrument().Marks().Any());
}

TEST_F(Form, RightOrMiddleClickHidesTheWindowAndPlaysNothing) {
  ShowPoweredUp();
  QSignalSpy closed(&form, &TKeyboardForm::closedByUser);
  SendMouse(&form, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, {46 + 5, 62 + 60});
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(closed.count(), 1);
  ShowPoweredUp();
  SendMouse(&form, QEvent::MouseButtonPress, Qt::MiddleButton, Qt::MiddleButton, {10, 128});
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(closed.count(), 2);
  form.show();
  form.hide();
  EXPECT_EQ(closed.count(), 2) << "hiding from the main window is no close";
  form.show();
  form.close();
  EXPECT_EQ(closed.count(), 3) << "the close box";
  EXPECT_TRUE(rig.link.sent.empty());
}

TEST_F(Form, PicturesTakeTheirOwnClicks) {
  ShowPoweredUp();
  for (PictureBox* p : {form.PitchBendBackImage, form.ModulationBackImage, form.Bevel1, form.GmMarkImage,
                        form.Image3, form.Image4, form.PortaBackImage}) {
    Click(p);
    SendMouse(p, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, {2, 2});
    SendMouse(p, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, {2, 2});
  }
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(rig.link.sent.empty());
  EXPECT_EQ(form.Instrument().PitchBendValue(), 64);
  // Buttons react to the left button only.
  SendMouse(form.PbUpImage, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, {2, 2});
  EXPECT_EQ(form.Instrument().PitchBendRange(), 2);
}

TEST_F(Form, ButtonsShowPressedAndReleasedLooks) {
  const KeyboardPictures pics(Ratio());
  SendMouse(form.PbTwoImage, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {2, 2});
  EXPECT_EQ(form.PbTwoImage->grab().toImage(), pics.TwoLowImage.toImage())
      << "pressed even with the power off";
  SendMouse(form.PbTwoImage, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {2, 2});
  EXPECT_EQ(form.PbTwoImage->grab().toImage(), pics.TwoHighImage.toImage());
  SendMouse(form.PowerImage, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {2, 2});
  EXPECT_EQ(form.PowerImage->grab().toImage(), pics.Image2[0].toImage()) << "dark lamp while off";
  SendMouse(form.PowerImage, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {2, 2});
  EXPECT_EQ(form.PowerImage->grab().toImage(), pics.Image1[1].toImage()) << "lit once on";
}

TEST_F(Form, WheelsAndSliderFollowTheirDrags) {
  ShowPoweredUp();
  Drag(form.ModulationPinchImage, {5, 7}, {5, 7 - 80});
  EXPECT_EQ(form.ModulationPinchImage->y(), 31);
  Drag(form.PortaPinchImage, {3, 5}, {3 + 32, 5});
  EXPECT_EQ(form.PortaPinchImage->x(), 378);
  SendMouse(form.PitchBendPinchImage, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {5, 7});
  SendMouse(form.PitchBendPinchImage, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, {5, 7 + 100});
  EXPECT_EQ(form.PitchBendPinchImage->y(), 111);
  SendMouse(form.PitchBendPinchImage, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {5, 7});
  ASSERT_TRUE(WaitFor([this] { return !form.Instrument().SpringingBack(); }));
  EXPECT_EQ(form.PitchBendPinchImage->y(), 70);
  EXPECT_EQ(rig.link.sent,
            Concat({{Cc(1, 127)}, PortaMessages(127), {Bend(0), Bend(24), Bend(42), Bend(55), Bend(64)}}));
}

TEST_F(Form, PcKeysByLayoutWithRepeatsAndShiftChanges) {
  ShowPoweredUp();
  // US: the key right of L plays C sharp; Shift pressed meanwhile makes its release a colon.
  SendKey(&form, QEvent::KeyPress, Qt::Key_Semicolon, 47);
  SendKey(&form, QEvent::KeyPress, Qt::Key_Semicolon, 47, true);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Semicolon, 47, true);
  SendKey(&form, QEvent::KeyPress, Qt::Key_Shift, 50);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Colon, 47, false, Qt::ShiftModifier);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Shift, 50);
  // Japanese: the same place is ";" (no note); the colon key plays C sharp.
  form.SetPcLayout(PcLayout::Japanese);
  SendKey(&form, QEvent::KeyPress, Qt::Key_Semicolon, 47);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Semicolon, 47);
  SendKey(&form, QEvent::KeyPress, Qt::Key_Colon, 48);
  SendKey(&form, QEvent::KeyPress, Qt::Key_BracketRight, 51);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Asterisk, 48, false, Qt::ShiftModifier);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_BracketRight, 51);
  // No native code at all (as off screen): letters and characters still tell the key.
  SendKey(&form, QEvent::KeyPress, Qt::Key_C, 0);
  SendKey(&form, QEvent::KeyPress, Qt::Key_Slash, 0);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Question, 0, false, Qt::ShiftModifier);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_C, 0);
  EXPECT_EQ(rig.link.sent, (Messages{On(73, 64), Off(73, 64), On(73, 64), On(75, 64), Off(73, 64),
                                     Off(75, 64), On(60, 64), On(72, 64), Off(72, 64), Off(60, 64)}));
  // The number pad's keys are not the main block's: its "/", "." and "*" play nothing.
  rig.Clear();
  form.SetPcLayout(PcLayout::Us);
  for (auto [key, scan] : {std::pair{Qt::Key_Slash, 106u}, {Qt::Key_Period, 91u}, {Qt::Key_Asterisk, 63u}}) {
    SendKey(&form, QEvent::KeyPress, key, scan, false, Qt::KeypadModifier);
    SendKey(&form, QEvent::KeyRelease, key, scan, false, Qt::KeypadModifier);
  }
  EXPECT_TRUE(rig.link.sent.empty());
}

TEST_F(Form, TheLayoutIsReadOncePerGroupUntilTheKeymapCanHaveChanged) {
  ShowPoweredUp();
  std::vector<int> asked;  // the groups looked up
  form.SetLayoutLookup([&asked](int group) {
    asked.push_back(group);
    return PcLayout::Japanese;
  });
  auto tap = [this](int key, quint32 scan) {
    SendKey(&form, QEvent::KeyPress, key, scan);
    SendKey(&form, QEvent::KeyRelease, key, scan);
  };
  for (int i = 0; i < 3; ++i) tap(Qt::Key_Colon, 48);
  tap(Qt::Key_C, 54);
  EXPECT_EQ(asked.size(), 1u) << "one look-up for every key after it";
  EXPECT_EQ(rig.link.sent.size(), 8u);
  EXPECT_EQ(rig.link.sent.front(), On(73, 64)) << "read as Japanese";
  form.FormActivate();  // the user may have switched layouts meanwhile
  tap(Qt::Key_Colon, 48);
  EXPECT_EQ(asked.size(), 2u);
  form.KeymapMayHaveChanged();  // as a new keymap from the X server
  // A release the window saw go down needs no layout.
  SendKey(&form, QEvent::KeyPress, Qt::Key_V, 55);
  form.KeymapMayHaveChanged();
  SendKey(&form, QEvent::KeyRelease, Qt::Key_V, 55);
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_EQ(form.PcLayoutOf(0), PcLayout::Japanese);
  EXPECT_EQ(asked.size(), 4u) << "forgotten before the release, read again now";
}

// On X11 the layout comes from the X server's keymap. This changes the server's layout, so
// it runs only where asked to: on its own Xvfb (see CMakeLists.txt).
TEST_F(Form, OnX11TheServersKeymapDecidesTheLayout) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb") ||
      qEnvironmentVariableIsEmpty("SONAVEL_TEST_CHANGE_X_LAYOUT")) {
    GTEST_SKIP() << "needs an X server of its own";
  }
  auto setLayout = [](const char* layout) {
    return QProcess::execute(QStringLiteral("setxkbmap"), {QString::fromLatin1(layout)}) == 0;
  };
  // The X server tells its clients of a new keymap by an event that comes after setxkbmap
  // returns; the window reads the layout again once it has arrived.
  auto switchTo = [&](const char* layout, PcLayout expected) {
    if (!setLayout(layout)) return false;
    return WaitFor([&] { return form.PcLayoutOf(0) == expected; });
  };
  ShowPoweredUp();
  form.SetPcLayout(std::nullopt);
  ASSERT_TRUE(switchTo("jp", PcLayout::Japanese));
  SendKey(&form, QEvent::KeyPress, Qt::Key_Semicolon, 47);  // ";" right of L: no note on JP
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Semicolon, 47);
  SendKey(&form, QEvent::KeyPress, Qt::Key_Colon, 48);  // ":" beside it: C sharp
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Colon, 48);
  ASSERT_TRUE(switchTo("us", PcLayout::Us));
  SendKey(&form, QEvent::KeyPress, Qt::Key_Semicolon, 47);
  SendKey(&form, QEvent::KeyRelease, Qt::Key_Semicolon, 47);
  ASSERT_TRUE(switchTo("gb", PcLayout::Uk));
  SendKey(&form, QEvent::KeyPress, Qt::Key_QuoteLeft, 49);  // only on UK a key gives 0xDF: D
  SendKey(&form, QEvent::KeyRelease, Qt::Key_QuoteLeft, 49);
  EXPECT_EQ(rig.link.sent,
            (Messages{On(73, 64), Off(73, 64), On(73, 64), Off(73, 64), On(74, 64), Off(74, 64)}));
}

// On a real X display a PC key pressed and released through the X server plays one note.
TEST_F(Form, OnX11APcKeyThroughTheXServerPlaysANote) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  ShowPoweredUp();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  rig.Clear();
  // (The panel's repaints send its range and portamento controllers between the notes.)
  auto notes = [this] {
    Messages m;
    for (ShortMessage s : rig.link.sent) {
      if ((StatusOf(s) & 0xE0) == 0x80) m.push_back(s);
    }
    return m;
  };
  ASSERT_TRUE(xinput::Xdotool({QStringLiteral("keydown"), QStringLiteral("c")}));
  ASSERT_TRUE(WaitFor([&] { return notes().size() == 1; }));
  ASSERT_TRUE(xinput::Xdotool({QStringLiteral("keyup"), QStringLiteral("c")}));
  ASSERT_TRUE(WaitFor([&] { return notes().size() == 2; }));
  const int note = Data1Of(notes()[0]);
  EXPECT_EQ(notes(), (Messages{On(note, 64), Off(note, 64)}));
}

TEST_F(Form, LosingTheActiveWindowClearsMarksAndSendsAllNotesOff) {
  ShowPoweredUp();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.ShowKeyDown(50, Side::Remote);
  rig.Clear();
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(form.Instrument().Marks().Any());
  EXPECT_EQ(rig.view.refreshes, 1);
  EXPECT_EQ(rig.Output(), AllNotesOffMessages());
}

// Pictures of the window for a person to look at.
TEST_F(Form, Screenshots) {
  ShowPoweredUp();
  const QString dir = OutputDir();
  ASSERT_TRUE(Grab().save(dir + QStringLiteral("/keyboard-rest.png")));

  for (int note : {48, 52, 55, 60}) form.ShowKeyDown(note, Side::Local);
  for (int note : {55, 63, 70, 79, 36, 96}) form.ShowKeyDown(note, Side::Remote);
  SendMouse(form.PitchBendPinchImage, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {5, 7});
  SendMouse(form.PitchBendPinchImage, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, {5, 7 - 25});
  Drag(form.ModulationPinchImage, {5, 7}, {5, 7 - 45});
  SendMouse(form.PbTwoImage, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {2, 2});
  ASSERT_TRUE(Grab().save(dir + QStringLiteral("/keyboard-held-keys.png")));
  SendMouse(form.PbTwoImage, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {2, 2});
  SendMouse(form.PitchBendPinchImage, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {5, 7});
  ASSERT_TRUE(WaitFor([this] { return !form.Instrument().SpringingBack(); }));

  Click(form.OctShiftUpImage);
  for (int i = 0; i < 3; ++i) Click(form.KeyShiftDownImage);
  Click(form.pbtwelveImage);
  for (int i = 0; i < 40; ++i) Click(form.PortaUpImage);
  form.ShowKeyDown(72, Side::Local);
  form.ShowKeyDown(79, Side::Remote);
  ASSERT_TRUE(Grab().save(dir + QStringLiteral("/keyboard-shifted.png")));

  form.Instrument().PowerPress();
  form.Instrument().PowerRelease();
  ASSERT_TRUE(WaitFor([this] { return !form.Instrument().Animating(); }));
  ASSERT_TRUE(Grab().save(dir + QStringLiteral("/keyboard-power-off.png")));
}

}  // namespace
