#include "modem/SealedRecords.h"

#include <sodium.h>

#include <stdexcept>

namespace modem {

namespace {

static_assert(RecordSealer::kTag == crypto_aead_chacha20poly1305_ietf_ABYTES);

void Nonce(std::uint64_t seq, std::uint8_t (&nonce)[crypto_aead_chacha20poly1305_ietf_NPUBBYTES]) {
  static_assert(sizeof nonce == 12);
  for (int i = 0; i < 4; ++i) nonce[i] = 0;
  for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(seq >> (56 - 8 * i));
}

// What is authenticated besides the text: the number as it stands in the record, then the
// line's extra data.
Bytes Associated(std::span<const std::uint8_t> header, std::span<const std::uint8_t> extra) {
  Bytes ad(header.begin(), header.end());
  ad.insert(ad.end(), extra.begin(), extra.end());
  return ad;
}

}  // namespace

RecordSealer::RecordSealer(const CallKey& key) : key_(key) {
  InitCrypto();
}

RecordSealer::~RecordSealer() {
  sodium_memzero(key_.data(), key_.size());
}

Bytes RecordSealer::Seal(std::span<const std::uint8_t> plain, std::span<const std::uint8_t> extra) {
  const std::uint64_t seq = next_++;
  Bytes record(kHeader + plain.size() + kTag);
  for (std::size_t i = 0; i < kHeader; ++i) record[i] = static_cast<std::uint8_t>(seq >> (56 - 8 * i));
  std::uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
  Nonce(seq, nonce);
  const Bytes ad = Associated(std::span(record).first(kHeader), extra);
  unsigned long long length = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(record.data() + kHeader, &length, plain.data(), plain.size(), ad.data(),
                                            ad.size(), nullptr, nonce, key_.data());
  return record;
}

RecordOpener::RecordOpener(const CallKey& key, Order order) : key_(key), order_(order) {
  InitCrypto();
}

RecordOpener::~RecordOpener() {
  sodium_memzero(key_.data(), key_.size());
}

bool RecordOpener::Seen(std::uint64_t seq) const {
  if (seq >= next_) return false;
  if (next_ - seq > kWindow) return true;  // too old to tell: taken as seen
  return (seen_[(seq % kWindow) / 64] >> (seq % 64)) & 1U;
}

void RecordOpener::Mark(std::uint64_t seq) {
  if (seq >= next_) {
    // The window moves up: the numbers it passes over are not seen yet.
    const std::uint64_t gap = seq - next_;
    if (gap >= kWindow) {
      seen_.fill(0);
    } else {
      for (std::uint64_t s = next_; s < seq; ++s) seen_[(s % kWindow) / 64] &= ~(std::uint64_t{1} << (s % 64));
    }
    next_ = seq + 1;
  }
  seen_[(seq % kWindow) / 64] |= std::uint64_t{1} << (seq % 64);
}

std::optional<Bytes> RecordOpener::Open(std::span<const std::uint8_t> record, std::span<const std::uint8_t> extra) {
  if (record.size() < RecordSealer::kOverhead) return std::nullopt;
  std::uint64_t seq = 0;
  for (std::size_t i = 0; i < RecordSealer::kHeader; ++i) seq = (seq << 8) | record[i];
  if (order_ == Order::Strict ? seq != next_ : Seen(seq)) return std::nullopt;
  if (seq == UINT64_MAX) return std::nullopt;  // the counter never gets there; no wrap
  std::uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
  Nonce(seq, nonce);
  const Bytes ad = Associated(record.first(RecordSealer::kHeader), extra);
  Bytes plain(record.size() - RecordSealer::kOverhead);
  unsigned long long length = 0;
  const auto sealed = record.subspan(RecordSealer::kHeader);
  if (crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &length, nullptr, sealed.data(), sealed.size(), ad.data(),
                                                ad.size(), nonce, key_.data()) != 0) {
    return std::nullopt;
  }
  if (order_ == Order::Strict) {
    ++next_;
  } else {
    Mark(seq);
  }
  return plain;
}

void StreamFramer::Append(std::span<const std::uint8_t> unit, std::vector<std::uint8_t>& out) {
  if (unit.size() > 0xFFFF) throw std::length_error("a unit too long for its length");
  out.push_back(static_cast<std::uint8_t>(unit.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(unit.size()));
  out.insert(out.end(), unit.begin(), unit.end());
}

bool StreamFramer::Feed(std::span<const std::uint8_t> bytes) {
  if (failed_) return false;
  if (at_ > 0 && at_ * 2 >= buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  if (Held() >= kPrefix) {
    const std::size_t size = (std::size_t{buffer_[at_]} << 8) | buffer_[at_ + 1];
    if (size == 0 || size > max_) failed_ = true;
  }
  return !failed_;
}

std::optional<std::span<const std::uint8_t>> StreamFramer::Next() {
  if (failed_ || Held() < kPrefix) return std::nullopt;
  const std::size_t size = (std::size_t{buffer_[at_]} << 8) | buffer_[at_ + 1];
  if (size == 0 || size > max_) {
    failed_ = true;
    return std::nullopt;
  }
  if (Held() < kPrefix + size) return std::nullopt;
  const std::span<const std::uint8_t> unit(buffer_.data() + at_ + kPrefix, size);
  at_ += kPrefix + size;
  return unit;
}

}  // namespace modem
