#pragma once

#include <memory>

#include "link/CarrierSource.h"
#include "modem/InternetModem.h"

// The built-in modem tells its call straight: its carrier rises before it writes CONNECT and
// falls before it writes NO CARRIER. The owner makes the modem when the settings first choose
// it; until then there is no call to tell.
class BuiltInModemCarrier final : public CarrierSource {
 public:
  explicit BuiltInModemCarrier(const std::unique_ptr<modem::InternetModem>& modem) : modem_(modem) {}
  Carrier CarrierState() const override { return CarrierAndCall().carrier; }
  Line CarrierAndCall() const override {
    if (!modem_) return {};
    const modem::CallStatus status = modem_->Status();
    return {status.carrier ? Carrier::Up : Carrier::Down, status.call};
  }

 private:
  const std::unique_ptr<modem::InternetModem>& modem_;
};
