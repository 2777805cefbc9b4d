#include "kernel.h"

#include "sysio.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace sim {

ssize_t VFile::read(void *, size_t) { errno = EINVAL; return -1; }
ssize_t VFile::write(const void *, size_t) { errno = EINVAL; return -1; }
off_t VFile::lseek(off_t, int) { errno = ESPIPE; return -1; }
int VFile::ioctl(unsigned long, void *) { errno = ENOTTY; return -1; }
short VFile::poll_events(short events) const { return events & (POLLIN | POLLOUT); }

namespace {

int b_open(const char *p, int f, mode_t m) { return Kernel::instance().do_open(p, f, m); }
int b_close(int fd) { return Kernel::instance().do_close(fd); }
ssize_t b_read(int fd, void *b, size_t n) { return Kernel::instance().do_read(fd, b, n); }
ssize_t b_write(int fd, const void *b, size_t n) { return Kernel::instance().do_write(fd, b, n); }
off_t b_lseek(int fd, off_t o, int w) { return Kernel::instance().do_lseek(fd, o, w); }
int b_ioctl(int fd, unsigned long r, void *a) { return Kernel::instance().do_ioctl(fd, r, a); }
int b_poll(struct pollfd *f, nfds_t n, long t) { return Kernel::instance().do_poll(f, n, t); }
int b_access(const char *p, int m) { return Kernel::instance().do_access(p, m); }
void b_sleep_us(unsigned long us) { Kernel::instance().do_sleep_us(us); }

const sysio_ops backend = {b_open, b_close, b_read, b_write, b_lseek, b_ioctl, b_poll, b_access, b_sleep_us};

} // namespace

Kernel &Kernel::instance()
{
    // Never destroyed: library threads still call into it while the process exits.
    static Kernel &k = *new Kernel;
    return k;
}

void Kernel::install() { sysio_install(&backend); }
void Kernel::uninstall() { sysio_install(nullptr); }

void Kernel::attach(Device *dev)
{
    std::lock_guard lock(mu_);
    devices_.push_back(dev);
}

void Kernel::detach(Device *dev)
{
    std::lock_guard lock(mu_);
    devices_.erase(std::remove(devices_.begin(), devices_.end(), dev), devices_.end());
}

VFile *Kernel::file(int fd)
{
    auto it = files_.find(fd);
    return it == files_.end() ? nullptr : it->second.get();
}

int Kernel::do_open(const char *path, int flags, mode_t mode)
{
    {
        std::lock_guard lock(mu_);
        for (Device *d : devices_) {
            if (!d->owns(path))
                continue;
            int err = ENOENT;
            auto f = d->open(path, flags, &err);
            if (!f) {
                errno = err;
                return -1;
            }
            int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (fd < 0)
                return -1;
            files_[fd] = std::move(f);
            return fd;
        }
    }
    return sysio_libc()->open(path, flags, mode);
}

int Kernel::do_close(int fd)
{
    std::unique_ptr<VFile> f;
    {
        std::lock_guard lock(mu_);
        auto it = files_.find(fd);
        if (it != files_.end()) {
            f = std::move(it->second);
            files_.erase(it);
        }
        notify();
    }
    return ::close(fd);
}

ssize_t Kernel::do_read(int fd, void *buf, size_t len)
{
    {
        std::lock_guard lock(mu_);
        if (VFile *f = file(fd))
            return f->read(buf, len);
    }
    return ::read(fd, buf, len);
}

ssize_t Kernel::do_write(int fd, const void *buf, size_t len)
{
    {
        std::lock_guard lock(mu_);
        if (VFile *f = file(fd))
            return f->write(buf, len);
    }
    return ::write(fd, buf, len);
}

off_t Kernel::do_lseek(int fd, off_t offset, int whence)
{
    {
        std::lock_guard lock(mu_);
        if (VFile *f = file(fd))
            return f->lseek(offset, whence);
    }
    return ::lseek(fd, offset, whence);
}

int Kernel::do_ioctl(int fd, unsigned long request, void *arg)
{
    {
        std::lock_guard lock(mu_);
        if (VFile *f = file(fd))
            return f->ioctl(request, arg);
    }
    return sysio_libc()->ioctl(fd, request, arg);
}

int Kernel::do_poll(::pollfd *fds, nfds_t nfds, long timeout_us)
{
    std::unique_lock lock(mu_);
    bool any_model = false, any_real = false;
    for (nfds_t i = 0; i < nfds; ++i)
        if (fds[i].fd >= 0) // poll skips negative entries
            (file(fds[i].fd) ? any_model : any_real) = true;
    if (!any_model) {
        lock.unlock();
        return sysio_libc()->poll(fds, nfds, timeout_us);
    }
    auto scan = [&] {
        int ready = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            fds[i].revents = 0;
            if (fds[i].fd < 0)
                continue;
            if (VFile *f = file(fds[i].fd))
                fds[i].revents = f->poll_events(fds[i].events);
            else {
                pollfd one = fds[i];
                if (::poll(&one, 1, 0) > 0)
                    fds[i].revents = one.revents;
            }
            if (fds[i].revents)
                ++ready;
        }
        return ready;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = timeout_us < 0 ? std::chrono::steady_clock::time_point::max()
                                         : start + std::chrono::microseconds(timeout_us);
    for (;;) {
        int ready = scan();
        auto now = std::chrono::steady_clock::now();
        if (ready || now >= deadline)
            return ready;
        // Real descriptors cannot wake us: look at them again every millisecond.
        auto until = any_real ? std::min(deadline, now + std::chrono::milliseconds(1)) : deadline;
        changed_.wait_until(lock, until);
    }
}

int Kernel::do_access(const char *path, int mode)
{
    {
        std::lock_guard lock(mu_);
        for (Device *d : devices_) {
            if (!d->owns(path))
                continue;
            if (d->exists(path))
                return 0;
            errno = ENOENT;
            return -1;
        }
    }
    return ::access(path, mode);
}

void Kernel::do_sleep_us(unsigned long usec)
{
    std::this_thread::sleep_for(std::chrono::microseconds(usec / sleep_divisor_));
}

} // namespace sim
