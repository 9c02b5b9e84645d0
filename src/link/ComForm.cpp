#include "link/ComForm.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "controls/Prompter.h"
#include "controls/UiFonts.h"
#include "platform/UserError.h"

namespace {
constexpr QPoint kLabel1{15, 6};
constexpr QPoint kLabel2{20, 26};
constexpr QPoint kLabel3{18, 47};
constexpr QRect kCancel{186, 34, 71, 23};
constexpr int kLabelWidth = 165;
constexpr int kLabelHeight = 16;

QLabel* TextLabel(QWidget* parent, const char* name, QPoint at, int width) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  // Destination names and numbers come from the settings file: shown as text, never markup.
  label->setTextFormat(Qt::PlainText);
  label->setGeometry(QRect(at, QSize(width, kLabelHeight)));
  return label;
}
}  // namespace

TComForm::TComForm(Prompter& prompter, const QWidget& anchor, QWidget* parent)
    : QDialog(parent), prompter_(prompter), anchor_(anchor) {
  setWindowTitle(QStringLiteral("接続中"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::WindowStaysOnTopHint);
  setModal(false);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(UiFonts::PGothic(12));

  Label1 = TextLabel(this, "Label1", kLabel1, kClientWidth - kLabel1.x() - 4);
  Label2 = TextLabel(this, "Label2", kLabel2, kLabelWidth);
  Label3 = TextLabel(this, "Label3", kLabel3, kLabelWidth);
  Label3->setText(QStringLiteral("待ち時間  ３４秒"));

  Button1 = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(kCancel);
  Button1->setAutoDefault(false);
  connect(Button1, &QPushButton::clicked, this, [this] {
    if (onCancel) {
      Run(onCancel);
    } else {
      hide();
    }
  });

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] {
    Run(onTimerTick);
  });
}

void TComForm::showEvent(QShowEvent* event) {
  const QPoint corner = anchor_.frameGeometry().topLeft();
  move(corner.x() + kOffsetFromMain, corner.y() + kOffsetFromMain);
  QDialog::showEvent(event);
}

void TComForm::hideEvent(QHideEvent* event) {
  Timer1->stop();
  QDialog::hideEvent(event);
}

void TComForm::closeEvent(QCloseEvent* event) {
  Run(onCloseBox);
  hide();
  event->ignore();
}

// Escape is the close box's twin here, not a silent hide.
void TComForm::reject() {
  close();
}

// This window's error boundary: what its handlers throw is reported, and stops here.
void TComForm::Run(const std::function<void()>& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (...) {
    prompter_.Error(ErrorText(std::current_exception()));
  }
}

void TComForm::SetLabel1(const QString& text) {
  Label1->setText(text);
}
void TComForm::SetLabel2(const QString& text) {
  Label2->setText(text);
}
void TComForm::SetLabel3(const QString& text) {
  Label3->setText(text);
}

void TComForm::SetWaitTimer(bool on) {
  if (on) {
    Timer1->start();
  } else {
    Timer1->stop();
  }
}

void TComForm::ShowMessage(const QString& text) {
  prompter_.Message(text);
}
void TComForm::ShowWarning(const QString& text) {
  prompter_.Warning(text);
}
void TComForm::ShowError(const QString& text) {
  prompter_.Error(text);
}
