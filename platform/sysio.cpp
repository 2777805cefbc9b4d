#include "sysio.h"

#include <atomic>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

int libc_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int libc_ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
int libc_poll(pollfd *fds, nfds_t nfds, long timeout_us)
{
    const timespec ts{static_cast<time_t>(timeout_us / 1000000), (timeout_us % 1000000) * 1000};
    return ::ppoll(fds, nfds, timeout_us < 0 ? nullptr : &ts, nullptr);
}

// usleep() is limited to a second on some libcs; nanosleep is not, and resumes after signals.
void libc_sleep_us(unsigned long usec)
{
    timespec ts{static_cast<time_t>(usec / 1000000), static_cast<long>(usec % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

constexpr sysio_ops libc_ops = {
    libc_open, ::close, ::read, ::write, ::lseek, libc_ioctl, libc_poll, ::access, libc_sleep_us,
};

std::atomic<const sysio_ops *> current{&libc_ops};

const sysio_ops &ops() { return *current.load(std::memory_order_acquire); }

} // namespace

extern "C" {

void sysio_install(const sysio_ops *table) { current.store(table ? table : &libc_ops, std::memory_order_release); }
const sysio_ops *sysio_current(void) { return &ops(); }
const sysio_ops *sysio_libc(void) { return &libc_ops; }

int sys_open(const char *path, int flags) { return ops().open(path, flags, 0); }
int sys_close(int fd) { return ops().close(fd); }
ssize_t sys_read(int fd, void *buf, size_t len) { return ops().read(fd, buf, len); }
ssize_t sys_write(int fd, const void *buf, size_t len) { return ops().write(fd, buf, len); }
off_t sys_lseek(int fd, off_t offset, int whence) { return ops().lseek(fd, offset, whence); }
int sys_ioctl(int fd, unsigned long request, void *arg) { return ops().ioctl(fd, request, arg); }
int sys_poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) { return ops().poll(fds, nfds, timeout_ms < 0 ? -1 : timeout_ms * 1000L); }
int sys_poll_us(struct pollfd *fds, nfds_t nfds, long timeout_us) { return ops().poll(fds, nfds, timeout_us); }
int sys_access(const char *path, int mode) { return ops().access(path, mode); }
void sys_sleep_us(unsigned long usec) { ops().sleep_us(usec); }
}
