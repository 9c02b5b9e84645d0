#include "keyboard/KeyboardForm.h"

#include <QAbstractNativeEventFilter>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QInputMethod>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#ifdef SONAVEL_HAVE_XCB
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#endif

using keyboard::KeyboardInstrument;
using keyboard::PanelButton;
using keyboard::PanelLook;
using keyboard::PictureBox;

namespace {

const QString kCaption = QStringLiteral("Virtual Keyboard");
const QColor kSilver(192, 192, 192);
const QColor kLineGrey(128, 128, 128);
const QColor kLocalMark(255, 0, 0);
const QColor kRemoteMark(0, 255, 0);
constexpr int kMarkerTop = 57;

#ifdef SONAVEL_HAVE_XCB
// The layout of the X server's current keymap in the given XKB group, read from what the
// keymap puts on the keys whose codes differ between the layouts; nullopt when unknown.
std::optional<keyboard::PcLayout> X11Layout(xcb_connection_t* connection, int group) {
  constexpr xcb_keycode_t kApostropheKey = 48;
  constexpr xcb_keycode_t kBackslashKey = 51;
  const auto cookie =
      xcb_get_keyboard_mapping(connection, kApostropheKey, kBackslashKey - kApostropheKey + 1);
  std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> reply(
      xcb_get_keyboard_mapping_reply(connection, cookie, nullptr), &std::free);
  if (!reply || reply->keysyms_per_keycode < 2) return std::nullopt;
  const int perKey = reply->keysyms_per_keycode;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
  // The core mapping lists group 1's two levels, then group 2's.
  const int column = (2 * group + 1 < perKey) ? 2 * group : 0;
  auto sym = [&](xcb_keycode_t key, int level) {
    return syms[(key - kApostropheKey) * perKey + column + level];
  };
  return keyboard::LayoutFromKeysyms(sym(kApostropheKey, 0), sym(kApostropheKey, 1), sym(kBackslashKey, 0));
}

xcb_connection_t* X11Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}
#endif

// The layout of an XKB group as the system tells it. Asking the X server is a round trip, so
// the window keeps the answer.
keyboard::PcLayout SystemLayout(int group) {
#ifdef SONAVEL_HAVE_XCB
  if (xcb_connection_t* connection = X11Connection()) {
    if (const auto layout = X11Layout(connection, group)) return *layout;
  }
#else
  Q_UNUSED(group);
#endif
  // Elsewhere (Wayland) only the input method's locale is at hand. It is the user's language,
  // not the board's layout: a Japanese board under another locale is read with the US table.
  const QLocale locale = QGuiApplication::inputMethod()->locale();
  if (locale.language() == QLocale::Japanese) return keyboard::PcLayout::Japanese;
  if (locale.territory() == QLocale::UnitedKingdom) return keyboard::PcLayout::Uk;
  return keyboard::PcLayout::Us;
}

// The XKB group a key event was typed in; 0 off X11.
int XkbGroupOf(const QKeyEvent& event) {
#ifdef SONAVEL_HAVE_XCB
  // The group sits in bits 13 and 14 of the X key event's state.
  if (X11Connection()) return static_cast<int>((event.nativeModifiers() >> 13) & 3);
#else
  Q_UNUSED(event);
#endif
  return 0;
}

}  // namespace

#ifdef SONAVEL_HAVE_XCB
// Tells the window when the X server's keymap changed (setxkbmap, a new keyboard plugged in):
// a core MappingNotify, or XKB's new-keyboard and map notifications. The group switches that
// layout keys make need nothing: the window keeps each group's layout apart.
class TKeyboardForm::KeymapWatch final : public QAbstractNativeEventFilter {
 public:
  KeymapWatch(xcb_connection_t* connection, std::function<void()> changed) : changed_(std::move(changed)) {
    static constexpr char kXkb[] = "XKEYBOARD";
    const auto cookie = xcb_query_extension(connection, sizeof kXkb - 1, kXkb);
    std::unique_ptr<xcb_query_extension_reply_t, decltype(&std::free)> reply(
        xcb_query_extension_reply(connection, cookie, nullptr), &std::free);
    if (reply && reply->present) xkbEvent_ = reply->first_event;
  }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const int type = event->response_type & 0x7F;
    constexpr std::uint8_t kXkbNewKeyboardNotify = 0;
    constexpr std::uint8_t kXkbMapNotify = 1;
    // XKB puts its own event kind in the second byte (where core events keep their detail).
    const bool xkbKeymap = xkbEvent_ != 0 && type == xkbEvent_ &&
                           (event->pad0 == kXkbNewKeyboardNotify || event->pad0 == kXkbMapNotify);
    if (type == XCB_MAPPING_NOTIFY || xkbKeymap) changed_();
    return false;
  }

 private:
  std::function<void()> changed_;
  int xkbEvent_ = 0;
};
#else
class TKeyboardForm::KeymapWatch {};
#endif

TKeyboardForm::TKeyboardForm(RoutingEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      instrument_(engine) {
  setObjectName(QStringLiteral("KeyboardForm"));
  setWindowTitle(kCaption);
  setFixedSize(keyboard::kClientSize);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);

  // Created back to front: each knob after its track, so that it lies on top.
  auto box = [this](const char* name, QRect place) {
    return new PictureBox(QString::fromLatin1(name), place, this);
  };
  PowerImage = box("PowerImage", {2, 4, 27, 18});
  PitchBendBackImage = box("PitchBendBackImage", {6, 30, 13, 97});
  PitchBendPinchImage = box("PitchBendPinchImage", {7, 71, 11, 15});
  ModulationBackImage = box("ModulationBackImage", {26, 30, 13, 97});
  ModulationPinchImage = box("ModulationPinchImage", {27, 111, 11, 15});
  OctShiftDownImage = box("OctShiftDownImage", {66, 7, 17, 13});
  OctShiftZeroImage = box("OctShiftZeroImage", {83, 7, 13, 13});
  OctShiftUpImage = box("OctShiftUpImage", {96, 7, 17, 13});
  KeyShiftDownImage = box("KeyShiftDownImage", {66, 30, 17, 13});
  KeyShiftZeroImage = box("KeyShiftZeroImage", {83, 30, 13, 13});
  KeyShiftUpImage = box("KeyShiftUpImage", {96, 30, 17, 13});
  Image3 = box("Image3", {116, 6, 19, 50});
  Bevel1 = box("Bevel1", {136, 5, 166, 49});
  Image4 = box("Image4", {304, 6, 20, 50});
  PbDownImage = box("PbDownImage", {327, 7, 17, 13});
  PbTwoImage = box("PbTwoImage", {344, 7, 13, 13});
  pbtwelveImage = box("pbtwelveImage", {357, 7, 17, 13});
  PbUpImage = box("PbUpImage", {374, 7, 17, 13});
  PortaDownImage = box("PortaDownImage", {327, 38, 17, 13});
  PortaBackImage = box("PortaBackImage", {345, 38, 43, 13});
  PortaPinchImage = box("PortaPinchImage", {346, 39, 9, 11});
  PortaUpImage = box("PortaUpImage", {389, 38, 17, 13});
  GmMarkImage = box("GmMarkImage", {452, 6, 27, 17});
  MarkerImage = box("MarkerImage", {keyboard::kMarkerHomeLeft, kMarkerTop, 5, 3});

  connect(PowerImage, &PictureBox::mouseDown, this, &TKeyboardForm::PowerImageMouseDown);
  connect(PowerImage, &PictureBox::mouseUp, this, &TKeyboardForm::PowerImageMouseUp);
  const std::pair<PictureBox*, std::pair<void (TKeyboardForm::*)(Qt::MouseButton, QPoint),
                                         void (TKeyboardForm::*)(Qt::MouseButton, QPoint)>>
      buttons[] = {
          {OctShiftDownImage,
           {&TKeyboardForm::OctShiftDownImageMouseDown, &TKeyboardForm::OctShiftDownImageMouseUp}},
          {OctShiftZeroImage,
           {&TKeyboardForm::OctShiftZeroImageMouseDown, &TKeyboardForm::OctShiftZeroImageMouseUp}},
          {OctShiftUpImage,
           {&TKeyboardForm::OctShiftUpImageMouseDown, &TKeyboardForm::OctShiftUpImageMouseUp}},
          {KeyShiftDownImage,
           {&TKeyboardForm::KeyShiftDownImageMouseDown, &TKeyboardForm::KeyShiftDownImageMouseUp}},
          {KeyShiftZeroImage,
           {&TKeyboardForm::KeyShiftZeroImageMouseDown, &TKeyboardForm::KeyShiftZeroImageMouseUp}},
          {KeyShiftUpImage,
           {&TKeyboardForm::KeyShiftUpImageMouseDown, &TKeyboardForm::KeyShiftUpImageMouseUp}},
          {PbDownImage, {&TKeyboardForm::PbDownImageMouseDown, &TKeyboardForm::PbDownImageMouseUp}},
          {PbTwoImage, {&TKeyboardForm::PbTwoImageMouseDown, &TKeyboardForm::PbTwoImageMouseUp}},
          {pbtwelveImage, {&TKeyboardForm::pbtwelveImageMouseDown, &TKeyboardForm::pbtwelveImageMouseUp}},
          {PbUpImage, {&TKeyboardForm::PbUpImageMouseDown, &TKeyboardForm::PbUpImageMouseUp}},
          {PortaDownImage, {&TKeyboardForm::PortaDownImageMouseDown, &TKeyboardForm::PortaDownImageMouseUp}},
          {PortaUpImage, {&TKeyboardForm::PortaUpImageMouseDown, &TKeyboardForm::PortaUpImageMouseUp}},
      };
  for (const auto& [picture, handlers] : buttons) {
    connect(picture, &PictureBox::mouseDown, this, handlers.first);
    connect(picture, &PictureBox::mouseUp, this, handlers.second);
  }
  connect(PitchBendPinchImage, &PictureBox::mouseDown, this, &TKeyboardForm::PitchBendPinchImageMouseDown);
  connect(PitchBendPinchImage, &PictureBox::mouseMove, this, &TKeyboardForm::PitchBendPinchImageMouseMove);
  connect(PitchBendPinchImage, &PictureBox::mouseUp, this, &TKeyboardForm::PitchBendPinchImageMouseUp);
  connect(ModulationPinchImage, &PictureBox::mouseDown, this, &TKeyboardForm::ModulationPinchImageMouseDown);
  connect(ModulationPinchImage, &PictureBox::mouseMove, this, &TKeyboardForm::ModulationPinchImageMouseMove);
  connect(ModulationPinchImage, &PictureBox::mouseUp, this, &TKeyboardForm::ModulationPinchImageMouseUp);
  connect(PortaPinchImage, &PictureBox::mouseDown, this, &TKeyboardForm::PortaPinchImageMouseDown);
  connect(PortaPinchImage, &PictureBox::mouseMove, this, &TKeyboardForm::PortaPinchImageMouseMove);
  connect(PortaPinchImage, &PictureBox::mouseUp, this, &TKeyboardForm::PortaPinchImageMouseUp);
  connect(PitchBendBackImage, &PictureBox::mouseDown, this, &TKeyboardForm::PitchBendBackImageMouseDown);
  connect(PitchBendBackImage, &PictureBox::mouseMove, this, &TKeyboardForm::PitchBendBackImageMouseMove);
  connect(PitchBendBackImage, &PictureBox::mouseUp, this, &TKeyboardForm::PitchBendBackImageMouseUp);

  connect(&instrument_, &KeyboardInstrument::panelChanged, this, [this] { OwnUpdate(keyboard::kPanelRect); });
  connect(&instrument_, &KeyboardInstrument::keyMarkChanged, this,
          [this](int key, Side player) { OwnUpdate(keyboard::MarkRect(key, player)); });
  connect(&instrument_, &KeyboardInstrument::keyMarksCleared, this,
          [this] { OwnUpdate(keyboard::KeyboardRect()); });
  connect(&instrument_, &KeyboardInstrument::controlsChanged, this, &TKeyboardForm::RefreshControls);

  SetPcLayout(std::nullopt);
#ifdef SONAVEL_HAVE_XCB
  if (xcb_connection_t* connection = X11Connection()) {
    keymapWatch_ = std::make_unique<KeymapWatch>(connection, [this] { KeymapMayHaveChanged(); });
    QCoreApplication::instance()->installNativeEventFilter(keymapWatch_.get());
  }
#endif
  connect(QGuiApplication::inputMethod(), &QInputMethod::localeChanged, this,
          &TKeyboardForm::KeymapMayHaveChanged);

  RefreshControls();
}

TKeyboardForm::~TKeyboardForm() = default;

const keyboard::KeyboardPictures& TKeyboardForm::Pictures() {
  const qreal ratio = devicePixelRatioF();
  if (!pictures_ || pictures_->DevicePixelRatio() != ratio) {
    const bool replacing = pictures_ != nullptr;
    pictures_ = std::make_unique<keyboard::KeyboardPictures>(ratio);
    // Moved to a screen of another pixel ratio: the pictures on the panel change with it.
    if (replacing) RefreshControls();
  }
  return *pictures_;
}

void TKeyboardForm::RefreshControls() {
  const auto& pics = Pictures();
  const int lit = instrument_.PowerLampLit() ? 1 : 0;
  PowerImage->SetPicture(instrument_.PowerSwitchPressed() ? pics.Image2[lit] : pics.Image1[lit]);
  auto look = [this](PanelButton b, const QPixmap& high, const QPixmap& low) -> const QPixmap& {
    return instrument_.ButtonPressed(b) ? low : high;
  };
  OctShiftDownImage->SetPicture(look(PanelButton::OctShiftDown, pics.DownHighImage, pics.DownLowImage));
  OctShiftZeroImage->SetPicture(look(PanelButton::OctShiftZero, pics.ZeroHighImage, pics.ZeroLowImage));
  OctShiftUpImage->SetPicture(look(PanelButton::OctShiftUp, pics.UpHighImage, pics.UpLowImage));
  KeyShiftDownImage->SetPicture(look(PanelButton::KeyShiftDown, pics.DownHighImage, pics.DownLowImage));
  KeyShiftZeroImage->SetPicture(look(PanelButton::KeyShiftZero, pics.ZeroHighImage, pics.ZeroLowImage));
  KeyShiftUpImage->SetPicture(look(PanelButton::KeyShiftUp, pics.UpHighImage, pics.UpLowImage));
  PbDownImage->SetPicture(look(PanelButton::PbDown, pics.DownHighImage, pics.DownLowImage));
  PbTwoImage->SetPicture(look(PanelButton::PbTwo, pics.TwoHighImage, pics.TwoLowImage));
  pbtwelveImage->SetPicture(look(PanelButton::PbTwelve, pics.TwelveHighImage, pics.TwelveLowImage));
  PbUpImage->SetPicture(look(PanelButton::PbUp, pics.UpHighImage, pics.UpLowImage));
  PortaDownImage->SetPicture(look(PanelButton::PortaDown, pics.DownHighImage, pics.DownLowImage));
  PortaUpImage->SetPicture(look(PanelButton::PortaUp, pics.UpHighImage, pics.UpLowImage));
  PitchBendBackImage->SetPicture(pics.wheelBack);
  ModulationBackImage->SetPicture(pics.wheelBack);
  PitchBendPinchImage->SetPicture(pics.wheelKnob);
  ModulationPinchImage->SetPicture(pics.wheelKnob);
  PortaBackImage->SetPicture(pics.portaBack);
  PortaPinchImage->SetPicture(pics.portaKnob);
  Image3->SetPicture(pics.shiftLines);
  Image4->SetPicture(pics.rightLines);
  Bevel1->SetPicture(pics.bevel);
  GmMarkImage->SetPicture(pics.logo);
  MarkerImage->SetPicture(pics.marker);

  PitchBendPinchImage->move(PitchBendPinchImage->x(), instrument_.PitchBendKnobTop());
  ModulationPinchImage->move(ModulationPinchImage->x(), instrument_.ModulationKnobTop());
  PortaPinchImage->move(instrument_.PortaKnobLeft(), PortaPinchImage->y());
  MarkerImage->move(instrument_.MarkerLeft(), kMarkerTop);
  MarkerImage->setVisible(instrument_.MarkerVisible());
}

void TKeyboardForm::OwnUpdate(const QRect& rect) {
  ownUpdates_ += rect;
  update(rect);
}

// ------------------------------------------------------------------------------ key display

void TKeyboardForm::ShowKeyDown(int note, Side player) {
  instrument_.ShowKeyDown(note, player);
}
void TKeyboardForm::ShowKeyUp(int note, Side player) {
  instrument_.ShowKeyUp(note, player);
}
void TKeyboardForm::ClearKeyMarks() {
  instrument_.ClearKeyMarks();
}

// ---------------------------------------------------------------------------------- painting

void TKeyboardForm::paintEvent(QPaintEvent* event) {
  const bool askedBySystem = !(event->region() - ownUpdates_).isEmpty();
  ownUpdates_ = QRegion();
  // A mark coming or going repaints a few pixels of one key: only what the paint touches is
  // drawn, so that it costs a fill and a small copy, not the panel with its glyphs.
  const QRegion& dirty = event->region();
  const bool panelDirty = dirty.intersects(keyboard::kPanelRect);
  const auto& pics = Pictures();
  const qreal r = pics.DevicePixelRatio();
  {
    QPainter p(this);
    p.fillRect(dirty.boundingRect(), kSilver);  // the paint clips it to the region
    const QPoint panelAt = keyboard::kPanelRect.topLeft();
    if (panelDirty) {
      switch (instrument_.Look()) {
        case PanelLook::Dark: p.drawPixmap(panelAt, pics.PANEL1); break;
        case PanelLook::HalfLit: p.drawPixmap(panelAt, pics.PANEL2); break;
        case PanelLook::Lit:
          p.drawPixmap(QRectF(panelAt, QSizeF(164, keyboard::kPanelHeight)), pics.PANEL3,
                       QRectF(0, 0, 164 * r, keyboard::kPanelHeight * r));
          for (const auto& g : instrument_.PanelGlyphs()) {
            const QRectF cell(10.0 * g.glyph * r, keyboard::kGlyphStripTop * r,
                              keyboard::kGlyphSize.width() * r, keyboard::kGlyphSize.height() * r);
            p.drawPixmap(QRectF(panelAt + g.at, QSizeF(keyboard::kGlyphSize)), pics.PANEL3, cell);
          }
          break;
      }
    }
    if (dirty.intersects(keyboard::KeyboardRect())) {
      p.drawPixmap(keyboard::kKeyboardOrigin, pics.KeyboardImage);  // copied only where the paint clips
      const auto& marks = instrument_.Marks();
      for (int key = 0; key < keyboard::kKeyCount; ++key) {
        for (Side player : {Side::Local, Side::Remote}) {
          if (marks.Has(key, player)) {
            p.fillRect(keyboard::MarkRect(key, player), player == Side::Local ? kLocalMark : kRemoteMark);
          }
        }
      }
    }
    p.setPen(Qt::white);
    p.drawRect(0, 1, 482, 129);
    p.setPen(kLineGrey);
    p.drawLine(0, 130, 481, 130);
    p.drawLine(482, 130, 482, 1);
    p.drawLine(44, 130, 44, 62);
    p.drawLine(44, 61, 481, 61);
  }
  // Showing the range and portamento time sends them, so a repaint that shows the panel afresh
  // sends them again; one that leaves the panel alone shows nothing new and sends nothing. The
  // sending waits until painting is over: a failing send reports itself in a message box,
  // which must not open in the middle of a paint.
  if (askedBySystem && panelDirty) {
    QMetaObject::invokeMethod(&instrument_, &KeyboardInstrument::PanelRepainted, Qt::QueuedConnection);
  }
}

// ------------------------------------------------------------------------------ window events

void TKeyboardForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

// Notes released while the window was hidden never reached it, so their marks are not kept
// for the next showing: the window comes back with the keys clear, as a fresh repaint shows them.
void TKeyboardForm::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  instrument_.ClearKeyMarks();
}

void TKeyboardForm::FormShow() {
  instrument_.ClearKeyMarks();
  instrument_.WindowShown();
}

void TKeyboardForm::closeEvent(QCloseEvent* event) {
  event->accept();  // hidden, not destroyed
  FormClose();
}

void TKeyboardForm::FormClose() {
  emit closedByUser();
}

void TKeyboardForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange) {
    if (isActiveWindow()) {
      FormActivate();
    } else {
      FormDeactivate();
    }
  }
  QWidget::changeEvent(event);
}

void TKeyboardForm::FormActivate() {
  KeymapMayHaveChanged();  // the layout may have been switched while another window had the keys
  instrument_.Activated();
  update();  // the whole window, as the system would
}

void TKeyboardForm::FormDeactivate() {
  instrument_.Deactivated();
}

// ------------------------------------------------------------------------------ mouse and keys

void TKeyboardForm::mousePressEvent(QMouseEvent* event) {
  FormMouseDown(event->button(), event->position().toPoint());
}

void TKeyboardForm::mouseDoubleClickEvent(QMouseEvent* event) {
  mousePressEvent(event);
}

void TKeyboardForm::mouseMoveEvent(QMouseEvent* event) {
  FormMouseMove(event->buttons(), event->position().toPoint());
}

void TKeyboardForm::mouseReleaseEvent(QMouseEvent* event) {
  FormMouseUp(event->button(), event->position().toPoint());
}

void TKeyboardForm::FormMouseDown(Qt::MouseButton button, QPoint pos) {
  if (button != Qt::LeftButton) {
    close();
    return;
  }
  instrument_.MousePress(pos.x(), pos.y());
}

void TKeyboardForm::FormMouseMove(Qt::MouseButtons buttons, QPoint pos) {
  instrument_.MouseMove(buttons.testFlag(Qt::LeftButton), pos.x(), pos.y());
}

void TKeyboardForm::FormMouseUp(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.MouseRelease();
}

void TKeyboardForm::SetLayoutLookup(LayoutLookup lookup) {
  layoutLookup_ = std::move(lookup);
  KeymapMayHaveChanged();
}

void TKeyboardForm::SetPcLayout(std::optional<keyboard::PcLayout> layout) {
  if (layout) {
    SetLayoutLookup([fixed = *layout](int) { return fixed; });
  } else {
    SetLayoutLookup(&SystemLayout);
  }
}

void TKeyboardForm::KeymapMayHaveChanged() {
  layouts_.fill(std::nullopt);
}

keyboard::PcLayout TKeyboardForm::PcLayoutOf(int group) {
  auto& known = layouts_.at(static_cast<std::size_t>(group));
  if (!known) known = layoutLookup_(group);
  return *known;
}

keyboard::PcLayout TKeyboardForm::CurrentLayout(const QKeyEvent& event) {
  return PcLayoutOf(XkbGroupOf(event));
}

void TKeyboardForm::keyPressEvent(QKeyEvent* event) {
  event->accept();
  if (event->isAutoRepeat()) return;  // a held key plays once
  const bool keypad = event->modifiers().testFlag(Qt::KeypadModifier);
  FormKeyDown(translator_.Press(CurrentLayout(*event), event->key(), event->nativeScanCode(), keypad));
}

void TKeyboardForm::keyReleaseEvent(QKeyEvent* event) {
  event->accept();
  if (event->isAutoRepeat()) return;
  const bool keypad = event->modifiers().testFlag(Qt::KeypadModifier);
  // A key seen going down gives the code it went down with; only one not seen needs the layout.
  const auto held = translator_.ReleaseHeld(event->key(), event->nativeScanCode(), keypad);
  FormKeyUp(
      held ? *held
           : keyboard::VirtualKeyOf(CurrentLayout(*event), event->key(), event->nativeScanCode(), keypad));
}

void TKeyboardForm::FormKeyDown(int virtualKey) {
  instrument_.KeyPress(virtualKey);
}
void TKeyboardForm::FormKeyUp(int virtualKey) {
  instrument_.KeyRelease(virtualKey);
}

// ------------------------------------------------------------------------------ picture events

void TKeyboardForm::PowerImageMouseDown(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.PowerPress();
}

void TKeyboardForm::PowerImageMouseUp(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.PowerRelease();
}

void TKeyboardForm::ButtonDown(PanelButton button, Qt::MouseButton mouse) {
  if (mouse == Qt::LeftButton) instrument_.ButtonPress(button);
}

void TKeyboardForm::ButtonUp(PanelButton button, Qt::MouseButton mouse) {
  if (mouse == Qt::LeftButton) instrument_.ButtonRelease(button);
}

#define SONAVEL_BUTTON_HANDLERS(Picture, Button)                      \
  void TKeyboardForm::Picture##MouseDown(Qt::MouseButton b, QPoint) { \
    ButtonDown(PanelButton::Button, b);                               \
  }                                                                   \
  void TKeyboardForm::Picture##MouseUp(Qt::MouseButton b, QPoint) {   \
    ButtonUp(PanelButton::Button, b);                                 \
  }

SONAVEL_BUTTON_HANDLERS(OctShiftDownImage, OctShiftDown)
SONAVEL_BUTTON_HANDLERS(OctShiftZeroImage, OctShiftZero)
SONAVEL_BUTTON_HANDLERS(OctShiftUpImage, OctShiftUp)
SONAVEL_BUTTON_HANDLERS(KeyShiftDownImage, KeyShiftDown)
SONAVEL_BUTTON_HANDLERS(KeyShiftZeroImage, KeyShiftZero)
SONAVEL_BUTTON_HANDLERS(KeyShiftUpImage, KeyShiftUp)
SONAVEL_BUTTON_HANDLERS(PbDownImage, PbDown)
SONAVEL_BUTTON_HANDLERS(PbTwoImage, PbTwo)
SONAVEL_BUTTON_HANDLERS(pbtwelveImage, PbTwelve)
SONAVEL_BUTTON_HANDLERS(PbUpImage, PbUp)
SONAVEL_BUTTON_HANDLERS(PortaDownImage, PortaDown)
SONAVEL_BUTTON_HANDLERS(PortaUpImage, PortaUp)
#undef SONAVEL_BUTTON_HANDLERS

void TKeyboardForm::PitchBendPinchImageMouseDown(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.PitchBendGrab();
}
void TKeyboardForm::PitchBendPinchImageMouseMove(Qt::MouseButtons, QPoint pos) {
  instrument_.PitchBendDrag(pos.y());
}
void TKeyboardForm::PitchBendPinchImageMouseUp(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.PitchBendLetGo();
}

void TKeyboardForm::ModulationPinchImageMouseDown(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.ModulationGrab();
}
void TKeyboardForm::ModulationPinchImageMouseMove(Qt::MouseButtons, QPoint pos) {
  instrument_.ModulationDrag(pos.y());
}
void TKeyboardForm::ModulationPinchImageMouseUp(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.ModulationLetGo();
}

void TKeyboardForm::PortaPinchImageMouseDown(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.PortaGrab();
}
void TKeyboardForm::PortaPinchImageMouseMove(Qt::MouseButtons, QPoint pos) {
  instrument_.PortaDrag(pos.x());
}
void TKeyboardForm::PortaPinchImageMouseUp(Qt::MouseButton button, QPoint) {
  if (button == Qt::LeftButton) instrument_.PortaLetGo();
}
