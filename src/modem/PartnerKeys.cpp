#include "modem/PartnerKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace modem {

namespace {

constexpr std::size_t kKeySize = 32;
static_assert(sizeof(CallKey) == kKeySize);

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PartnerKeys::PartnerKeys(std::string path) : path_(std::move(path)) {
  if (path_.empty()) return;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<std::size_t>(st.st_size) <= kKept * kKeySize && st.st_size % kKeySize == 0) {
    std::vector<CallKey> read(static_cast<std::size_t>(st.st_size) / kKeySize);
    bool whole = true;
    for (CallKey& key : read) whole = whole && ::read(fd, key.data(), kKeySize) == static_cast<ssize_t>(kKeySize);
    if (whole) keys_ = std::move(read);
  }
  ::close(fd);
}

void PartnerKeys::Keep(const CallKey& key) {
  keys_.insert(keys_.begin(), key);
  if (keys_.size() > kKept) keys_.pop_back();
  Save();
}

void PartnerKeys::Spend(std::size_t index) {
  if (index >= keys_.size()) return;
  keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(index));
  Save();
}

// Written beside the file and renamed over it: a crash leaves the old keys or the new, and the
// file never exists with a wider mode than 0600, even for a moment.
void PartnerKeys::Save() {
  if (path_.empty()) return;
  const std::string temporary = path_ + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0;
  for (const CallKey& key : keys_) ok = ok && WriteAll(fd, key.data(), key.size());
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok || ::rename(temporary.c_str(), path_.c_str()) != 0) ::unlink(temporary.c_str());
}

}  // namespace modem
