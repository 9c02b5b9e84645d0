#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "modem/CallHandshake.h"

// A standing call's bytes on the network: each unit sealed in a record of its own.
//
//   record = sequence number (8 bytes, big-endian) | ciphertext | tag (16 bytes)
//
// ChaCha20-Poly1305 (IETF) under the direction's key; the nonce is the sequence number, which
// counts up from 0 in each direction, and the number and any extra data the line wants bound
// (a datagram's header) are authenticated with the text. A record carries its number, so it
// stands alone: one record per datagram as well as one after another on a stream.
//
// A record that does not open - altered, sealed with another key, replayed, or (on a stream)
// out of order - yields nothing. The stream's opener takes only the next number; the datagram
// line's opener takes numbers it has not seen within a window behind the highest one.
//
// TCP carries records (and the handshake's messages before them) length-prefixed: two bytes,
// big-endian, then the unit. Pure: no sockets.
namespace modem {

class RecordSealer {
 public:
  static constexpr std::size_t kHeader = 8;
  static constexpr std::size_t kTag = 16;
  static constexpr std::size_t kOverhead = kHeader + kTag;

  explicit RecordSealer(const CallKey& key);
  ~RecordSealer();
  RecordSealer(const RecordSealer&) = delete;
  RecordSealer& operator=(const RecordSealer&) = delete;

  Bytes Seal(std::span<const std::uint8_t> plain, std::span<const std::uint8_t> extra = {});
  std::uint64_t Sealed() const { return next_; }

 private:
  CallKey key_;
  std::uint64_t next_ = 0;
};

class RecordOpener {
 public:
  enum class Order {
    Strict,  // a stream: each record must be the next one
    Window,  // datagrams: any record not seen yet and not too far behind
  };
  static constexpr std::uint64_t kWindow = 1024;

  RecordOpener(const CallKey& key, Order order);
  ~RecordOpener();
  RecordOpener(const RecordOpener&) = delete;
  RecordOpener& operator=(const RecordOpener&) = delete;

  // The text, or nothing when the record must not be believed.
  std::optional<Bytes> Open(std::span<const std::uint8_t> record, std::span<const std::uint8_t> extra = {});
  // The next number a stream expects; on datagrams one past the highest opened.
  std::uint64_t Next() const { return next_; }

 private:
  bool Seen(std::uint64_t seq) const;
  void Mark(std::uint64_t seq);

  CallKey key_;
  Order order_;
  std::uint64_t next_ = 0;
  std::array<std::uint64_t, kWindow / 64> seen_{};  // bit (seq % kWindow) for seq in [next_-kWindow, next_)
};

// Units on a byte stream, each behind its length.
class StreamFramer {
 public:
  static constexpr std::size_t kPrefix = 2;
  // `maxUnit`: a longer unit (or an empty one) is an error and ends the stream's use.
  explicit StreamFramer(std::size_t maxUnit) : max_(maxUnit) {}

  // A unit of up to 65535 bytes (std::length_error for a longer one).
  static void Append(std::span<const std::uint8_t> unit, std::vector<std::uint8_t>& out);
  // Takes bytes; false when they announce a unit that cannot be one.
  bool Feed(std::span<const std::uint8_t> bytes);
  // The next whole unit, if one is there; it stays valid until the next call.
  std::optional<std::span<const std::uint8_t>> Next();
  void SetMaxUnit(std::size_t maxUnit) { max_ = maxUnit; }
  bool Failed() const { return failed_; }
  // Bytes held, at most maxUnit + 2 plus one read's worth.
  std::size_t Held() const { return buffer_.size() - at_; }

 private:
  std::size_t max_;
  bool failed_ = false;
  std::vector<std::uint8_t> buffer_;
  std::size_t at_ = 0;
};

}  // namespace modem
