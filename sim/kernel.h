// The virtual board's kernel: a sysio backend that routes device paths to the models and
// passes everything else through to libc.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One open file of a model. Every call arrives with Kernel::mutex() held.
class VFile {
public:
    virtual ~VFile() = default;
    virtual ssize_t read(void *buf, size_t len);
    virtual ssize_t write(const void *buf, size_t len);
    virtual off_t lseek(off_t offset, int whence);
    virtual int ioctl(unsigned long request, void *arg);
    // The subset of `events` that is ready now, plus POLLHUP/POLLERR/POLLPRI as they apply.
    virtual short poll_events(short events) const;
};

// A model that owns some paths. Every call arrives with Kernel::mutex() held.
class Device {
public:
    virtual ~Device() = default;
    // The path lies in this model's part of the file system (it may still not exist).
    virtual bool owns(std::string_view path) const = 0;
    virtual bool exists(std::string_view path) const = 0;
    // The open file, or nullptr with *err set (ENOENT when the path is not this model's).
    virtual std::unique_ptr<VFile> open(std::string_view path, int flags, int *err) = 0;
};

class Kernel {
public:
    // One per process: the seam it installs into is process-wide.
    static Kernel &instance();

    // Installs the backend into the seam; uninstall restores libc. Devices stay attached.
    void install();
    void uninstall();

    void attach(Device *dev);
    void detach(Device *dev);

    // Guards all model state. Recursive so that a model reacting to another (a GPIO write
    // that resets the panel) can call straight into it.
    std::recursive_mutex &mutex() { return mu_; }
    // Wakes every poll and waiter: call after any change a poller may be waiting for.
    void notify() { changed_.notify_all(); }
    // Waits (mutex held through lock) until pred() or the deadline; true if pred() held.
    template <class Pred>
    bool wait_until(std::unique_lock<std::recursive_mutex> &lock,
                    std::chrono::steady_clock::time_point deadline, Pred pred)
    {
        return changed_.wait_until(lock, deadline, pred);
    }

    // Bring-up sleeps (chip detach, hub power cycle, panel reset) are divided by this.
    void set_sleep_divisor(unsigned d) { sleep_divisor_ = d ? d : 1; }
    unsigned sleep_divisor() const { return sleep_divisor_; }

    // For the backend's entry points.
    int do_open(const char *path, int flags, mode_t mode);
    int do_close(int fd);
    ssize_t do_read(int fd, void *buf, size_t len);
    ssize_t do_write(int fd, const void *buf, size_t len);
    off_t do_lseek(int fd, off_t offset, int whence);
    int do_ioctl(int fd, unsigned long request, void *arg);
    int do_poll(::pollfd *fds, nfds_t nfds, long timeout_us);
    int do_access(const char *path, int mode);
    void do_sleep_us(unsigned long usec);

private:
    Kernel() = default;
    VFile *file(int fd);

    std::recursive_mutex mu_;
    std::condition_variable_any changed_;
    std::vector<Device *> devices_;
    // Each open model file holds a real descriptor of /dev/null, so its number is unique
    // in the process and a stray close of it is harmless.
    std::map<int, std::unique_ptr<VFile>> files_;
    unsigned sleep_divisor_ = 1;
};

} // namespace sim
