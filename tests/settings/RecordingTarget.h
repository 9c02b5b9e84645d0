#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "settings/SettingsTarget.h"

// Writes down every call as "Name(args)", in order, so tests see both values and order.
class RecordingTarget final : public SettingsTarget {
 public:
  QStringList calls;
  // Where the synth's output choice goes on, when a test has a synth to apply it to.
  std::function<void(const QString&, int)> synthOutput;

  // The argument of the last call of that name, or a null string.
  QString Last(const QString& name) const {
    for (qsizetype i = calls.size() - 1; i >= 0; --i) {
      if (calls[i].startsWith(name + QLatin1Char('('))) return calls[i].mid(name.size() + 1).chopped(1);
    }
    return {};
  }

  void SetPort(int port) override { Add("SetPort", QString::number(port)); }
  void SetDevicePath(const QString& path) override { Add("SetDevicePath", path); }
  void SetListenPort(int port) override { Add("SetListenPort", QString::number(port)); }
  void SetModemPassword(const QString& password) override { Add("SetModemPassword", password); }
  void SetPortMap(bool on) override { Add("SetPortMap", QString::number(on)); }
  void SetPlayout(int s41) override { Add("SetPlayout", QString::number(s41)); }
  void SetLineType(int lineType) override { Add("SetLineType", QString::number(lineType)); }
  void SetInitCommand(int line, const QString& command) override {
    Add("SetInitCommand", QString::number(line) + "," + command);
  }
  void SetBaudRateUserDefined(int rate) override { Add("SetBaudRateUserDefined", QString::number(rate)); }
  void SetBaudRate(int rate) override { Add("SetBaudRate", QString::number(rate)); }
  void SetByteSize(ByteSize size) override {
    Add("SetByteSize", size == ByteSize::cbs7 ? "cbs7" : size == ByteSize::cbs8 ? "cbs8" : "other");
  }
  void SetStopBits(StopBits bits) override {
    Add("SetStopBits", bits == StopBits::csb1 ? "csb1" : bits == StopBits::csb2 ? "csb2" : "other");
  }
  void SetParityBits(ParityBits parity) override {
    Add("SetParityBits", parity == ParityBits::cpbNone   ? "cpbNone"
                         : parity == ParityBits::cpbOdd  ? "cpbOdd"
                         : parity == ParityBits::cpbEven ? "cpbEven"
                                                         : "other");
  }
  void SetFlowControls(FlowControls flows) override {
    QStringList set;
    if (flows & cfcDtrDsr) set << "cfcDtrDsr";
    if (flows & cfcRtsCts) set << "cfcRtsCts";
    if (flows & cfcXonXoff) set << "cfcXonXoff";
    Add("SetFlowControls", set.join(' '));
  }
  void SetOutsideLinePrefix(const QString& prefix) override { Add("SetOutsideLinePrefix", prefix); }
  void SetDestName(int i, const QString& name) override {
    Add("SetDestName", QString::number(i) + "," + name);
  }
  void SetDestNumber(int i, const QString& number) override {
    Add("SetDestNumber", QString::number(i) + "," + number);
  }
  void SetDestinationHint(int i, const QString& hint) override {
    Add("SetDestinationHint", QString::number(i) + "," + hint);
  }
  void SetDestinationMenuCaption(int i, const QString& caption) override {
    Add("SetDestinationMenuCaption", QString::number(i) + "," + caption);
  }
  void SetUserName(const QString& name) override { Add("SetUserName", name); }
  void SetPrintName(bool on) override { Add("SetPrintName", on ? "1" : "0"); }
  void SetSynthOutput(const QString& driver, int frames) override {
    Add("SetSynthOutput", driver + "," + QString::number(frames));
    if (synthOutput) synthOutput(driver, frames);
  }

 private:
  void Add(const char* name, const QString& args) { calls << QString::fromLatin1(name) + "(" + args + ")"; }
};
