#pragma once

#include <QString>
#include <QStringList>

// The serial devices of this machine that a modem may sit on, besides the COM ports: USB
// serial adapters (ttyUSB*), USB modems (ttyACM*) and their stable names under
// serial/by-id. USB and ACM devices come in number order (ttyUSB2 before ttyUSB10).
QStringList FindSerialDevices(const QString& devDir = QStringLiteral("/dev"));
