#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "modem/CallHandshake.h"

// The keys of the last calls confirmed by the password, newest first: a caller proves with the
// newest that it has played with this answerer before, and its handshake is answered without
// waiting behind the strangers. Each key is spent by the handshake it lets through (a wrong
// password then costs it its place), and a call confirmed leaves a new one on both sides.
//
// Kept in a file only its owner can read (0600), replaced whole on each change; a file that is
// missing, unreadable or of the wrong size is a modem with no partners yet. Empty path: kept in
// memory for this run only; a file that cannot be written leaves the keys in memory alone. The
// modem's thread alone uses it.
namespace modem {

class PartnerKeys {
 public:
  static constexpr std::size_t kKept = 8;

  explicit PartnerKeys(std::string path);

  const CallKey* Newest() const { return keys_.empty() ? nullptr : &keys_.front(); }
  std::span<const CallKey> All() const { return keys_; }
  void Keep(const CallKey& key);
  void Spend(std::size_t index);

 private:
  void Save();

  std::string path_;
  std::vector<CallKey> keys_;
};

}  // namespace modem
