#include "app/AboutBox.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "controls/Glyphs.h"
#include "controls/UiFonts.h"

namespace {
constexpr QRect kPanel{8, 8, 257, 73};
constexpr QRect kIconFrame{8, 8, 36, 36};  // within the panel: the 32 x 32 icon and its frame
constexpr QRect kProductName{56, 8, 190, 32};
constexpr QRect kVersion{56, 46, 190, 16};
constexpr QRect kSynthState{8, 62, 245, 10};
constexpr QRect kOkButton{104, 88, 64, 26};
}  // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::WindowStaysOnTopHint);
  setModal(false);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(UiFonts::PGothic(12));

  auto* panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("Panel1"));
  panel->setFrameShape(QFrame::Panel);
  panel->setFrameShadow(QFrame::Sunken);
  panel->setGeometry(kPanel);

  auto* iconFrame = new QFrame(panel);
  iconFrame->setFrameShape(QFrame::Panel);
  iconFrame->setFrameShadow(QFrame::Raised);
  iconFrame->setGeometry(kIconFrame);
  ProgramIcon = new QLabel(iconFrame);
  ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
  ProgramIcon->setGeometry(2, 2, 32, 32);
  ProgramIcon->setPixmap(Glyphs::ProgramIconPixmap(32, 2));

  ProductName = new QLabel(QStringLiteral("Sonavel"), panel);
  ProductName->setObjectName(QStringLiteral("ProductName"));
  QFont name = UiFonts::PMincho(24);
  name.setBold(true);
  name.setUnderline(true);
  ProductName->setFont(name);
  ProductName->setGeometry(kProductName);

  Version = new QLabel(QStringLiteral("Version 1.1"), panel);
  Version->setObjectName(QStringLiteral("Version"));
  QFont version = UiFonts::PGothic(12);
  version.setItalic(true);
  Version->setFont(version);
  Version->setGeometry(kVersion);

  SynthState = new QLabel(panel);
  SynthState->setObjectName(QStringLiteral("SynthState"));
  SynthState->setFont(UiFonts::PGothic(9));
  SynthState->setGeometry(kSynthState);

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setGeometry(kOkButton);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
}

void TAboutBox::ShowCentred(const QString& synthState) {
  SynthState->setText(synthState.isEmpty() ? QString() : QStringLiteral("内蔵ｼﾝｾ: ") + synthState);
  const QScreen* screen = QApplication::primaryScreen();
  const QRect area = screen->geometry();
  move(area.left() + (area.width() - frameGeometry().width()) / 2,
       area.top() + (area.height() - frameGeometry().height()) / 2);
  show();
  raise();
  activateWindow();
  OKButton->setFocus();
}
