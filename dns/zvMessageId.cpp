#include "dns/zvMessageId.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/SysUtils.h"
#include "net/zvSocketUtils.h"

namespace {

// Identifiers are taken from the system a block at a time, which spares a system call per
// message without making them any easier to guess. Each thread keeps its own block, so
// drawing one takes no lock. A forked child would repeat its parent's unused block, so the
// block is dropped in the child (whose one thread is the one that forked).
struct TMessageIdPool {
  std::array<std::uint16_t, 512> ids{};
  std::size_t left = 0;
  TzvRandomBytesFn filled_from = nullptr;
};

thread_local TMessageIdPool id_pool;

TMessageIdPool& IdPool() {
  static const bool watching_forks = [] {
    pthread_atfork(nullptr, nullptr, [] { id_pool.left = 0; });
    return true;
  }();
  (void)watching_forks;
  return id_pool;
}

[[noreturn]] void RaiseNoRandomNumbers(int error) {
  throw EzvSocketError("No random numbers from the system: " + SystemErrorText(error), error);
}

// Fills the buffer from the device file behind the same generator.
void ReadUrandom(std::uint8_t* bytes, std::size_t length) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseNoRandomNumbers(errno);
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t got = ::read(fd, bytes + filled, length - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      const int error = got == 0 ? EIO : errno;
      ::close(fd);
      RaiseNoRandomNumbers(error);
    }
  }
  ::close(fd);
}

void FillIdPool(TMessageIdPool& pool, TzvRandomBytesFn source) {
  auto* bytes = reinterpret_cast<std::uint8_t*>(pool.ids.data());
  std::size_t filled = 0;
  const std::size_t wanted = sizeof pool.ids;
  while (filled < wanted) {
    const ssize_t got = source(bytes + filled, wanted - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      // Refused (ENOSYS, EPERM): the device file gives the same.
      ReadUrandom(bytes + filled, wanted - filled);
      break;
    }
  }
  pool.left = pool.ids.size();
  pool.filled_from = source;
}

}  // namespace

TzvRandomBytesFn& MessageIdRandomSource() {
  static TzvRandomBytesFn source = ::getrandom;
  return source;
}

std::uint16_t NewMessageID() {
  TMessageIdPool& pool = IdPool();
  const TzvRandomBytesFn source = MessageIdRandomSource();
  if (pool.left == 0 || pool.filled_from != source) FillIdPool(pool, source);
  return pool.ids[--pool.left];
}
