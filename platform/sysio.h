/* The one seam between the library and the kernel's device files. Everything that reaches
 * hardware (spidev, sysfs GPIO, evdev) goes through these calls; their default entries are
 * the libc calls. The virtual board installs its own table. */
#ifndef SYSIO_H
#define SYSIO_H

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sysio_ops {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buf, size_t len);
    ssize_t (*write)(int fd, const void *buf, size_t len);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ioctl)(int fd, unsigned long request, void *arg);
    /* Microseconds (negative: no limit), as ppoll takes them: the device thread arms a report
     * a fraction of a bus frame ahead. */
    int (*poll)(struct pollfd *fds, nfds_t nfds, long timeout_us);
    int (*access)(const char *path, int mode);
    /* The long fixed sleeps of bring-up: chip detach, hub power cycle, panel reset. */
    void (*sleep_us)(unsigned long usec);
} sysio_ops;

/* Installs a backend; NULL restores the libc table. The table must outlive its use:
 * calls already inside the old table finish there. */
void sysio_install(const sysio_ops *ops);
/* The table in force now. */
const sysio_ops *sysio_current(void);
/* The libc table, for backends that pass calls through. */
const sysio_ops *sysio_libc(void);

int sys_open(const char *path, int flags);
int sys_close(int fd);
ssize_t sys_read(int fd, void *buf, size_t len);
ssize_t sys_write(int fd, const void *buf, size_t len);
off_t sys_lseek(int fd, off_t offset, int whence);
int sys_ioctl(int fd, unsigned long request, void *arg);
int sys_poll(struct pollfd *fds, nfds_t nfds, int timeout_ms);
int sys_poll_us(struct pollfd *fds, nfds_t nfds, long timeout_us);
int sys_access(const char *path, int mode);
void sys_sleep_us(unsigned long usec);

#ifdef __cplusplus
}
#endif

#endif
