#pragma once

#include <QString>
#include <cstdint>

// Everything the settings are applied to: the serial port's line properties, the modem
// dialogue's connection settings and the main window's captions and hints. The main window
// implements it by calling the real objects; each call is named after the property it sets.
// Calls arrive in the order the values are applied.
class SettingsTarget {
 public:
  // The serial port's line settings, with the ordinals of TComm's TCommByteSize,
  // TCommStopBits and TCommParityBits, and the bits of TCommFlowControls.
  enum class ByteSize : std::uint8_t { cbs4, cbs5, cbs6, cbs7, cbs8 };
  enum class StopBits : std::uint8_t { csb1, csb15, csb2 };
  enum class ParityBits : std::uint8_t { cpbNone, cpbOdd, cpbEven, cpbMark, cpbSpace };
  // A set of handshakes: bit 0 DTR/DSR, bit 1 RTS/CTS, bit 2 XON/XOFF.
  using FlowControls = std::uint8_t;
  static constexpr FlowControls cfcDtrDsr = 1;
  static constexpr FlowControls cfcRtsCts = 2;
  static constexpr FlowControls cfcXonXoff = 4;

  virtual ~SettingsTarget() = default;

  // --- serial port; takes effect at the port's next Open (an open port is not reopened)
  virtual void SetPort(int port) = 0;  // COM1..COM5 as 1..5
  // TComm's DevicePath: a device used instead of the COM number's; empty: the COM number's.
  virtual void SetDevicePath(const QString& path) = 0;
  // The built-in modem's port for calls (its device is "tcp"); next wait for a call.
  virtual void SetListenPort(int port) = 0;
  // The built-in modem's call password (empty: calls open to anyone); its next call.
  virtual void SetModemPassword(const QString& password) = 0;
  // Whether its next wait asks the router to open that port (UPnP, NAT-PMP).
  virtual void SetPortMap(bool on) = 0;
  // Its S41 after the next reset: how the partner's notes are played (Settings::playout).
  virtual void SetPlayout(int s41) = 0;
  // --- modem dialogue
  virtual void SetLineType(int lineType) = 0;                         // 0 tone, 1 pulse
  virtual void SetInitCommand(int line, const QString& command) = 0;  // InitCommands[1..3]
  // --- serial port line settings, through the port's setters
  virtual void SetBaudRateUserDefined(int rate) = 0;
  virtual void SetBaudRate(int rate) = 0;  // -1 selects the user-defined rate
  virtual void SetByteSize(ByteSize size) = 0;
  virtual void SetStopBits(StopBits bits) = 0;
  virtual void SetParityBits(ParityBits parity) = 0;
  virtual void SetFlowControls(FlowControls flows) = 0;
  // --- modem dialogue
  virtual void SetOutsideLinePrefix(const QString& prefix) = 0;
  virtual void SetDestName(int destination, const QString& name) = 0;      // DestNames[1..5]
  virtual void SetDestNumber(int destination, const QString& number) = 0;  // DestNumbers[1..5]
  // --- main window: destination i is SpeedButton(7 + i) and menu item K(2 + i)
  virtual void SetDestinationHint(int destination, const QString& hint) = 0;
  virtual void SetDestinationMenuCaption(int destination, const QString& caption) = 0;
  // --- chat
  virtual void SetUserName(const QString& name) = 0;  // already padded with blanks
  virtual void SetPrintName(bool on) = 0;
  // --- the built-in synth, for its next opening: its audio driver (empty for automatic) and
  // the period it asks for, in frames
  virtual void SetSynthOutput(const QString& driver, int bufferFrames) = 0;
};
