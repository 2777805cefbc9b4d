// Guest side: opens the USB input event devices once COUNT of them exist (the emulated PC's
// own keyboard and the like are left alone), prints their names,
// ("HB-DEV <n> <key+rel+led> <name>"), then "HB-READY", then each event as "HB-EV <n> <type> <code> <value>" until the PC writes
// "END" on the console (or RUN_S seconds pass). "LED <code> <value>" from the PC sets a
// keyboard LED, which the HID driver sends to the device as an output report.
// OPEN "keyboards": only devices with LEDs are opened, as a text console does; usbhid then
// never polls the others' endpoints ("HB-SKIP <n>" names them). PRINT "sums": no line per
// event; per device "HB-SUM <n> x <X> y <Y> press <P> release <R> dropped <D> events <E>"
// (REL_X/REL_Y sums, key and button presses and releases, SYN_DROPPED, all records) when the
// PC writes "SUMS" and before "HB-END" / "HB-TIMEOUT", so a fast mouse does not wait on the
// console.
// Usage: guest_events COUNT WAIT_S RUN_S [all|keyboards [events|sums]]
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_DEVS 16

struct dev {
    int fd;
    int num;
    int has_led;
    long long x, y, press, release, dropped, events;
};

static long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// Event devices whose device node exists and whose sysfs device sits on a USB bus.
static int list_devices(int nums[MAX_DEVS])
{
    DIR *d = opendir("/sys/class/input");
    int n = 0;
    if (!d)
        return 0;
    for (struct dirent *e; (e = readdir(d)) && n < MAX_DEVS;) {
        char link[300], target[512], node[300];
        if (strncmp(e->d_name, "event", 5))
            continue;
        snprintf(link, sizeof link, "/sys/class/input/%s", e->d_name);
        ssize_t len = readlink(link, target, sizeof target - 1);
        if (len <= 0)
            continue;
        target[len] = 0;
        snprintf(node, sizeof node, "/dev/input/%s", e->d_name);
        if (strstr(target, "/usb") && access(node, F_OK) == 0)
            nums[n++] = atoi(e->d_name + 5);
    }
    closedir(d);
    return n;
}

static int has_bit(const unsigned long *bits, int bit)
{
    return (bits[bit / (8 * sizeof(long))] >> (bit % (8 * sizeof(long)))) & 1;
}

// Whatever the kernel queued before we are ready is dropped. (The echo of the repeat setting
// we write becomes readable only with the device's next report; the PC ignores EV_REP.)
static void drain(int fd)
{
    struct input_event ev;
    while (read(fd, &ev, sizeof ev) == (ssize_t)sizeof ev)
        ;
}

// The device's event types from sysfs, without opening it (an open makes usbhid poll).
static unsigned long sysfs_evbits(int num)
{
    char path[96], text[64] = "";
    snprintf(path, sizeof path, "/sys/class/input/event%d/device/capabilities/ev", num);
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    if (!fgets(text, sizeof text, f))
        text[0] = 0;
    fclose(f);
    return strtoul(text, NULL, 16);
}

static void count(struct dev *d, const struct input_event *ev)
{
    d->events++;
    if (ev->type == EV_REL && ev->code == REL_X)
        d->x += ev->value;
    else if (ev->type == EV_REL && ev->code == REL_Y)
        d->y += ev->value;
    else if (ev->type == EV_KEY && ev->value == 1)
        d->press++;
    else if (ev->type == EV_KEY && ev->value == 0)
        d->release++;
    else if (ev->type == EV_SYN && ev->code == SYN_DROPPED)
        d->dropped++;
}

static void print_sums(const struct dev *devs, int n)
{
    for (int i = 0; i < n; i++)
        printf("HB-SUM %d x %lld y %lld press %lld release %lld dropped %lld events %lld\n", devs[i].num, devs[i].x,
               devs[i].y, devs[i].press, devs[i].release, devs[i].dropped, devs[i].events);
}

static void set_led(struct dev *devs, int n, int code, int value)
{
    for (int i = 0; i < n; i++) {
        if (!devs[i].has_led)
            continue;
        struct input_event ev[2] = {{.type = EV_LED, .code = (unsigned short)code, .value = value},
                                    {.type = EV_SYN, .code = SYN_REPORT}};
        if (write(devs[i].fd, ev, sizeof ev) != (ssize_t)sizeof ev)
            printf("HB-FAIL led write: %s\n", strerror(errno));
        else
            printf("HB-LED %d %d %d\n", devs[i].num, code, value);
        return;
    }
    printf("HB-FAIL led: no device with LEDs\n");
}

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 6) {
        fprintf(stderr, "usage: %s COUNT WAIT_S RUN_S [all|keyboards [events|sums]]\n", argv[0]);
        return 2;
    }
    int keyboards_only = argc > 4 && !strcmp(argv[4], "keyboards");
    int sums = argc > 5 && !strcmp(argv[5], "sums");
    setvbuf(stdout, NULL, _IOLBF, 0);
    int want = atoi(argv[1]);
    long wait_end = now_ms() + atol(argv[2]) * 1000;

    int nums[MAX_DEVS], n;
    while ((n = list_devices(nums)) < want) {
        if (now_ms() > wait_end) {
            printf("HB-FAIL events: %d of %d event devices appeared\n", n, want);
            return 1;
        }
        usleep(20000);
    }

    struct dev devs[MAX_DEVS];
    int nd = 0;
    for (int i = 0; i < n; i++) {
        char path[32], name[128] = "";
        snprintf(path, sizeof path, "/dev/input/event%d", nums[i]);
        if (keyboards_only && !(sysfs_evbits(nums[i]) >> EV_LED & 1)) {
            printf("HB-SKIP %d\n", nums[i]);
            continue;
        }
        int fd = open(path, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            printf("HB-FAIL open %s: %s\n", path, strerror(errno));
            continue;
        }
        unsigned long evbits[1] = {0};
        ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
        ioctl(fd, EVIOCGBIT(0, sizeof evbits), evbits);
        // Auto-repeat would add events that depend on how fast the emulated guest runs.
        if (has_bit(evbits, EV_REP)) {
            unsigned int rep[2] = {60000, 1000};
            ioctl(fd, EVIOCSREP, rep);
        }
        devs[nd] = (struct dev){.fd = fd, .num = nums[i], .has_led = has_bit(evbits, EV_LED)};
        printf("HB-DEV %d %s%s%s %s\n", nums[i], has_bit(evbits, EV_KEY) ? "key" : "-",
               has_bit(evbits, EV_REL) ? "+rel" : "", has_bit(evbits, EV_LED) ? "+led" : "", name);
        nd++;
    }
    usleep(50000);
    for (int i = 0; i < nd; i++)
        drain(devs[i].fd);
    printf("HB-READY %d\n", nd);

    struct pollfd pfd[MAX_DEVS + 1];
    for (int i = 0; i < nd; i++)
        pfd[i] = (struct pollfd){.fd = devs[i].fd, .events = POLLIN};
    pfd[nd] = (struct pollfd){.fd = 0, .events = POLLIN};
    long run_end = now_ms() + atol(argv[3]) * 1000;
    char line[128];
    size_t used = 0;
    for (;;) {
        long left = run_end - now_ms();
        if (left <= 0) {
            if (sums)
                print_sums(devs, nd);
            printf("HB-TIMEOUT\n");
            return 1;
        }
        if (poll(pfd, (nfds_t)nd + 1, (int)left) < 0 && errno != EINTR) {
            printf("HB-FAIL poll: %s\n", strerror(errno));
            return 1;
        }
        for (int i = 0; i < nd; i++) {
            if (pfd[i].revents & (POLLHUP | POLLERR)) {
                printf("HB-GONE %d\n", devs[i].num);
                pfd[i].fd = -1;
            }
            // In batches: the emulated CPU is slow, a fast mouse makes thousands a second.
            struct input_event ev[64];
            ssize_t r;
            while ((r = read(devs[i].fd, ev, sizeof ev)) > 0) {
                if (r % (ssize_t)sizeof ev[0]) {
                    printf("HB-FAIL short read %zd\n", r);
                    break;
                }
                for (ssize_t k = 0; k < r / (ssize_t)sizeof ev[0]; k++) {
                    if (sums)
                        count(&devs[i], &ev[k]);
                    else
                        printf("HB-EV %d %u %u %d\n", devs[i].num, ev[k].type, ev[k].code, ev[k].value);
                }
            }
        }
        if (pfd[nd].revents & POLLIN) {
            ssize_t r = read(0, line + used, sizeof line - 1 - used);
            if (r <= 0) {
                pfd[nd].fd = -1;
                continue;
            }
            used += (size_t)r;
            line[used] = 0;
            char *nl;
            while ((nl = strchr(line, '\n'))) {
                *nl = 0;
                int code, value;
                if (!strncmp(line, "SUMS", 4))
                    print_sums(devs, nd);
                if (!strncmp(line, "END", 3)) {
                    if (sums)
                        print_sums(devs, nd);
                    printf("HB-END\n");
                    return 0;
                }
                if (sscanf(line, "LED %d %d", &code, &value) == 2)
                    set_led(devs, nd, code, value);
                memmove(line, nl + 1, strlen(nl + 1) + 1);
                used = strlen(line);
            }
            if (used == sizeof line - 1)
                used = 0;
        }
    }
}
