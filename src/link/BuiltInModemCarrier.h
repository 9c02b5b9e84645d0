#pragma once

#include "link/CarrierSource.h"
#include "modem/InternetModem.h"

// The built-in modem tells its call straight: its carrier rises before it writes CONNECT and
// falls before it writes NO CARRIER.
class BuiltInModemCarrier final : public CarrierSource {
 public:
  explicit BuiltInModemCarrier(const modem::InternetModem* modem = nullptr) : modem_(modem) {}
  void SetModem(const modem::InternetModem* modem) { modem_ = modem; }
  Carrier CarrierState() const override { return CarrierAndCall().carrier; }
  Line CarrierAndCall() const override {
    if (modem_ == nullptr) return {};
    const modem::CallStatus status = modem_->Status();
    return {status.carrier ? Carrier::Up : Carrier::Down, status.call};
  }

 private:
  const modem::InternetModem* modem_;
};
