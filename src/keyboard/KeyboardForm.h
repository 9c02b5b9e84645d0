#pragma once

#include <QRegion>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "routing/RoutingEngine.h"
#include "keyboard/KeyboardInstrument.h"
#include "keyboard/KeyboardPictures.h"
#include "keyboard/PictureBox.h"
#include "keyboard/VirtualKeys.h"

// The keyboard window, "Virtual Keyboard": a small always-on-top panel with 61 keys, an LCD
// panel, two wheels, portamento and shift buttons. It plays through the routing engine's local
// path and shows the keys both players hold. The main window shows and hides it with
// show()/hide(); when the user closes it itself, closedByUser() tells the main window to
// release its keyboard button.
class TKeyboardForm : public QWidget {
  Q_OBJECT

 public:
  explicit TKeyboardForm(RoutingEngine& engine, QWidget* parent = nullptr);
  ~TKeyboardForm() override;

  // Key display for the routing engine: the note as played (after transposition); the local
  // player's marks are red, the remote player's green. Marks of notes still held survive the
  // repaints the system asks for; ClearKeyMarks removes all of them.
  // UI thread only: the routing engine runs both paths there.
  void ShowKeyDown(int note, Side player);
  void ShowKeyUp(int note, Side player);
  void ClearKeyMarks();

  keyboard::KeyboardInstrument& Instrument() { return instrument_; }
  const keyboard::KeyboardInstrument& Instrument() const { return instrument_; }

  // Where the PC keyboard layout of an XKB group (0 to 3) comes from. The answer is kept until
  // the keymap can have changed: a new keymap from the X server, or the window's activation.
  using LayoutLookup = std::function<keyboard::PcLayout(int group)>;
  void SetLayoutLookup(LayoutLookup lookup);
  // Fixes the PC keyboard layout, or with nullopt asks the system again (the default).
  void SetPcLayout(std::optional<keyboard::PcLayout> layout);
  // Forgets the layouts read so far; the next key press reads its group's layout again.
  void KeymapMayHaveChanged();
  // The layout of an XKB group, read now unless already known.
  keyboard::PcLayout PcLayoutOf(int group);

  // The window's pictures (named as their roles in the panel).
  keyboard::PictureBox* PowerImage;
  keyboard::PictureBox* PitchBendBackImage;
  keyboard::PictureBox* PitchBendPinchImage;
  keyboard::PictureBox* ModulationBackImage;
  keyboard::PictureBox* ModulationPinchImage;
  keyboard::PictureBox* OctShiftDownImage;
  keyboard::PictureBox* OctShiftZeroImage;
  keyboard::PictureBox* OctShiftUpImage;
  keyboard::PictureBox* KeyShiftDownImage;
  keyboard::PictureBox* KeyShiftZeroImage;
  keyboard::PictureBox* KeyShiftUpImage;
  keyboard::PictureBox* Image3;
  keyboard::PictureBox* Bevel1;
  keyboard::PictureBox* Image4;
  keyboard::PictureBox* PbDownImage;
  keyboard::PictureBox* PbTwoImage;
  keyboard::PictureBox* pbtwelveImage;
  keyboard::PictureBox* PbUpImage;
  keyboard::PictureBox* PortaDownImage;
  keyboard::PictureBox* PortaBackImage;
  keyboard::PictureBox* PortaPinchImage;
  keyboard::PictureBox* PortaUpImage;
  keyboard::PictureBox* GmMarkImage;
  keyboard::PictureBox* MarkerImage;

 signals:
  // Closed by its own close box or a right or middle click; not sent for hide().
  void closedByUser();

 public:
  // --- window events
  void FormShow();
  void FormClose();
  void FormActivate();
  void FormDeactivate();
  void FormMouseDown(Qt::MouseButton button, QPoint pos);
  void FormMouseMove(Qt::MouseButtons buttons, QPoint pos);
  void FormMouseUp(Qt::MouseButton button, QPoint pos);
  void FormKeyDown(int virtualKey);
  void FormKeyUp(int virtualKey);

  // --- the pictures' own events
  void PowerImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PowerImageMouseUp(Qt::MouseButton button, QPoint pos);
  void OctShiftDownImageMouseDown(Qt::MouseButton button, QPoint pos);
  void OctShiftDownImageMouseUp(Qt::MouseButton button, QPoint pos);
  void OctShiftZeroImageMouseDown(Qt::MouseButton button, QPoint pos);
  void OctShiftZeroImageMouseUp(Qt::MouseButton button, QPoint pos);
  void OctShiftUpImageMouseDown(Qt::MouseButton button, QPoint pos);
  void OctShiftUpImageMouseUp(Qt::MouseButton button, QPoint pos);
  void KeyShiftDownImageMouseDown(Qt::MouseButton button, QPoint pos);
  void KeyShiftDownImageMouseUp(Qt::MouseButton button, QPoint pos);
  void KeyShiftZeroImageMouseDown(Qt::MouseButton button, QPoint pos);
  void KeyShiftZeroImageMouseUp(Qt::MouseButton button, QPoint pos);
  void KeyShiftUpImageMouseDown(Qt::MouseButton button, QPoint pos);
  void KeyShiftUpImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PbDownImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PbDownImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PbTwoImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PbTwoImageMouseUp(Qt::MouseButton button, QPoint pos);
  void pbtwelveImageMouseDown(Qt::MouseButton button, QPoint pos);
  void pbtwelveImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PbUpImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PbUpImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PortaDownImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PortaDownImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PortaUpImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PortaUpImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PitchBendPinchImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PitchBendPinchImageMouseMove(Qt::MouseButtons buttons, QPoint pos);
  void PitchBendPinchImageMouseUp(Qt::MouseButton button, QPoint pos);
  void ModulationPinchImageMouseDown(Qt::MouseButton button, QPoint pos);
  void ModulationPinchImageMouseMove(Qt::MouseButtons buttons, QPoint pos);
  void ModulationPinchImageMouseUp(Qt::MouseButton button, QPoint pos);
  void PortaPinchImageMouseDown(Qt::MouseButton button, QPoint pos);
  void PortaPinchImageMouseMove(Qt::MouseButtons buttons, QPoint pos);
  void PortaPinchImageMouseUp(Qt::MouseButton button, QPoint pos);
  // The wheel's track takes its clicks so they do not reach the keys; it does nothing.
  void PitchBendBackImageMouseDown(Qt::MouseButton, QPoint) {}
  void PitchBendBackImageMouseMove(Qt::MouseButtons, QPoint) {}
  void PitchBendBackImageMouseUp(Qt::MouseButton, QPoint) {}

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  void ButtonDown(keyboard::PanelButton button, Qt::MouseButton mouse);
  void ButtonUp(keyboard::PanelButton button, Qt::MouseButton mouse);
  void RefreshControls();
  void OwnUpdate(const QRect& rect);
  const keyboard::KeyboardPictures& Pictures();
  keyboard::PcLayout CurrentLayout(const QKeyEvent& event);

  keyboard::KeyboardInstrument instrument_;
  std::unique_ptr<keyboard::KeyboardPictures> pictures_;
  keyboard::VirtualKeyTranslator translator_;
  LayoutLookup layoutLookup_;
  std::array<std::optional<keyboard::PcLayout>, 4> layouts_;  // by XKB group, as read
  class KeymapWatch;
  std::unique_ptr<KeymapWatch> keymapWatch_;
  // What this window asked to redraw itself; a paint that covers more was asked for by the
  // system (or the window's activation) and counts as a repaint of the whole panel.
  QRegion ownUpdates_;
};
