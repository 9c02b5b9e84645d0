#include "tonelist/PChangeForm.h"

#include <QCloseEvent>
#include <QPushButton>

#include "tonelist/GmPrograms.h"
#include "tonelist/ToneListBox.h"

namespace {

const QString kCaption = QStringLiteral("音色ﾘｽﾄ");
const QString kOkCaption = QStringLiteral("OK");
const QString kCancelCaption = QStringLiteral("ｷｬﾝｾﾙ");

// 536 × 291 outside, with the usual thin frame and caption bar.
constexpr QSize kClientSize(528, 264);
constexpr QRect kListRect(8, 8, 513, 217);
constexpr QRect kOkRect(352, 236, 72, 22);
constexpr QRect kCancelRect(432, 236, 72, 22);
// The list keeps its columns of 16 at its height; only the width follows the window.
constexpr int kMinimumWidth = 240;
// Where the dialog opens, from the main window's top-left corner.
constexpr QPoint kOffsetFromMain(200, 70);

}  // namespace

TPChangeForm::TPChangeForm(RoutingEngine& engine, QWidget* mainWindow)
    : QDialog(mainWindow),
      tone_(engine),
      mainWindow_(mainWindow),
      ListBox1(new ToneListBox(this)),
      Button1(new QPushButton(kOkCaption, this)),
      Button2(new QPushButton(kCancelCaption, this)) {
  setWindowTitle(kCaption);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::WindowStaysOnTopHint);
  setModal(false);
  setSizeGripEnabled(false);

  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  Button1->setObjectName(QStringLiteral("Button1"));
  Button2->setObjectName(QStringLiteral("Button2"));
  for (std::string_view entry : kGmPrograms) {
    ListBox1->addItem(QString::fromLatin1(entry.data(), static_cast<qsizetype>(entry.size())));
  }
  Button1->setDefault(true);

  resize(kClientSize);
  setMinimumSize(kMinimumWidth, kClientSize.height());
  setMaximumHeight(kClientSize.height());
  LayOut();

  connect(ListBox1, &ToneListBox::mouseDown, this, &TPChangeForm::ListBox1MouseDown);
  connect(ListBox1, &ToneListBox::mouseMovedWithButton, this, &TPChangeForm::ListBox1MouseMove);
  connect(ListBox1, &ToneListBox::mouseUp, this, &TPChangeForm::ListBox1MouseUp);
  connect(ListBox1, &ToneListBox::entryDoubleClicked, this, &TPChangeForm::ListBox1DblClick);
  connect(ListBox1, &ToneListBox::keyDown, this, &TPChangeForm::ListBox1KeyDown);
  connect(ListBox1, &ToneListBox::keyUp, this, &TPChangeForm::ListBox1KeyUp);
  connect(ListBox1, &ToneListBox::keyTyped, this, &TPChangeForm::ListBox1KeyPress);
  connect(Button1, &QPushButton::clicked, this, &TPChangeForm::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TPChangeForm::Button2Click);
}

void TPChangeForm::ToggleFor(int channel) {
  if (isVisible()) {
    hide();
    return;
  }
  SetEditChannel(channel);
  show();
}

// Showing is prepared before the window appears, so it opens in its place with the
// channel's program already selected.
void TPChangeForm::setVisible(bool visible) {
  if (visible && !isVisible()) FormShow();
  QDialog::setVisible(visible);
}

void TPChangeForm::FormShow() {
  ListBox1->SetSelected(tone_.Shown());
  if (mainWindow_) move(mainWindow_->frameGeometry().topLeft() + kOffsetFromMain);
  ListBox1->setFocus(Qt::OtherFocusReason);
}

void TPChangeForm::reject() {
  Button2Click();
}

// Not QDialog's: that would turn the close box into Cancel, which takes the audition back.
void TPChangeForm::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TPChangeForm::FormClose() {
  tone_.Closed();
}

void TPChangeForm::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  LayOut();
}

void TPChangeForm::LayOut() {
  const int grow = width() - kClientSize.width();
  ListBox1->setGeometry(kListRect.adjusted(0, 0, grow, 0));
  Button1->setGeometry(kOkRect.translated(grow, 0));
  Button2->setGeometry(kCancelRect.translated(grow, 0));
}

void TPChangeForm::ListBox1MouseDown(Qt::MouseButton button) {
  if (button == Qt::LeftButton) {
    tone_.LeftPress(ListBox1->Selected());
    return;
  }
  if (button != Qt::RightButton && button != Qt::MiddleButton) return;
  tone_.OtherPress();
  close();
}

void TPChangeForm::ListBox1MouseMove() {
  tone_.DragTo(ListBox1->Selected());
}

void TPChangeForm::ListBox1MouseUp() {
  tone_.Release();
}

void TPChangeForm::ListBox1DblClick() {
  tone_.ApplyByDoubleClick(ListBox1->Selected());
  close();
}

void TPChangeForm::ListBox1KeyDown(int key) {
  std::optional<ListArrow> arrow;
  switch (key) {
    case Qt::Key_Left: arrow = ListArrow::Left; break;
    case Qt::Key_Up: arrow = ListArrow::Up; break;
    case Qt::Key_Right: arrow = ListArrow::Right; break;
    case Qt::Key_Down: arrow = ListArrow::Down; break;
    default: return;
  }
  if (const std::optional<int> moved = tone_.Arrow(*arrow, ListBox1->Selected()))
    ListBox1->SetSelected(*moved);
}

void TPChangeForm::ListBox1KeyUp() {
  tone_.KeyUp();
}

void TPChangeForm::ListBox1KeyPress() {
  tone_.KeyTyped();
}

void TPChangeForm::Button1Click() {
  tone_.Apply(ListBox1->Selected());
  close();
}

void TPChangeForm::Button2Click() {
  tone_.TakeBack();
  close();
}
