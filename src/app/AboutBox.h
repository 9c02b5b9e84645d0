#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// "ﾊﾞｰｼﾞｮﾝ情報": the program's name, icon and version. Shown without being modal; OK only
// hides it, and the next showing reuses it.
class TAboutBox final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 272;
  static constexpr int kClientHeight = 120;

  explicit TAboutBox(QWidget* parent = nullptr);

  // Shows the box centred on the screen, above other windows, with how the built-in synth's
  // sound goes out now (empty: it is not open).
  void ShowCentred(const QString& synthState = {});
  void OKButtonClick() { hide(); }

  QLabel* ProductName = nullptr;
  QLabel* Version = nullptr;
  QLabel* SynthState = nullptr;
  QLabel* ProgramIcon = nullptr;
  QPushButton* OKButton = nullptr;
};
