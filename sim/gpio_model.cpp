#include "gpio_model.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

namespace sim {
namespace {

constexpr std::string_view kRoot = "/sys/class/gpio";

// What a sysfs attribute makes of a write: the text up to a NUL or a newline.
std::string word(const void *buf, size_t len)
{
    std::string s(static_cast<const char *>(buf), len);
    if (auto n = s.find_first_of(std::string_view("\0\n", 2)); n != std::string::npos)
        s.resize(n);
    return s;
}

bool number(std::string_view s, int *out)
{
    auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

class ControlFile : public VFile {
public:
    ControlFile(GpioModel &m, GpioModel::File f) : m_(m), f_(f) {}
    ssize_t write(const void *buf, size_t len) override
    {
        m_.append(f_, -1, buf, len);
        int n;
        if (!number(word(buf, len), &n) || n < 0 || n >= GpioModel::kLines) {
            errno = EINVAL;
            return -1;
        }
        auto &l = m_.line(n);
        if (f_ == GpioModel::File::Export) {
            if (l.exported) {
                errno = EBUSY;
                return -1;
            }
            l.exported = true;
        } else {
            if (!l.exported) {
                errno = EINVAL;
                return -1;
            }
            l.exported = false;
            l.direction = "in";
            l.edge = "none";
        }
        return static_cast<ssize_t>(len);
    }

private:
    GpioModel &m_;
    GpioModel::File f_;
};

class LineFile : public VFile {
public:
    LineFile(GpioModel &m, GpioModel::File f, int line)
        : m_(m), f_(f), line_(line), seen_(m.line(line).edges) {}

    ssize_t write(const void *buf, size_t len) override
    {
        m_.append(f_, line_, buf, len);
        auto &l = m_.line(line_);
        if (!l.exported) {
            errno = ENODEV;
            return -1;
        }
        std::string w = word(buf, len);
        switch (f_) {
        case GpioModel::File::Direction:
            if (w == "high" || w == "low") {
                l.direction = "out";
                m_.set_value(line_, w == "high", true);
            } else if (w == "out") {
                l.direction = w; // sysfs drives a new output low
                m_.set_value(line_, 0, true);
            } else if (w == "in") {
                l.direction = w;
            } else {
                errno = EINVAL;
                return -1;
            }
            break;
        case GpioModel::File::Edge:
            if (w != "none" && w != "rising" && w != "falling" && w != "both") {
                errno = EINVAL;
                return -1;
            }
            l.edge = w;
            break;
        case GpioModel::File::Value:
            if (l.direction != "out") {
                errno = EPERM;
                return -1;
            }
            m_.set_value(line_, w != "0", true);
            break;
        default:
            errno = EINVAL;
            return -1;
        }
        return static_cast<ssize_t>(len);
    }

    ssize_t read(void *buf, size_t len) override
    {
        auto &l = m_.line(line_);
        const bool value = f_ == GpioModel::File::Value;
        const std::string text = value ? std::string(l.value() ? "1\n" : "0\n")
                                       : (f_ == GpioModel::File::Direction ? l.direction : l.edge) + "\n";
        if (value)
            seen_ = l.edges; // reading acknowledges the edge, as sysfs does
        if (pos_ >= text.size())
            return 0;
        size_t n = std::min(len, text.size() - pos_);
        std::memcpy(buf, text.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    off_t lseek(off_t offset, int whence) override
    {
        if (whence != SEEK_SET || offset < 0) {
            errno = EINVAL;
            return -1;
        }
        pos_ = static_cast<size_t>(offset);
        return offset;
    }

    short poll_events(short events) const override
    {
        // sysfs reports an edge as POLLPRI | POLLERR on the value file.
        short r = events & (POLLIN | POLLRDNORM);
        if (f_ == GpioModel::File::Value && m_.line(line_).edges != seen_)
            r |= POLLPRI | POLLERR;
        return r;
    }

private:
    GpioModel &m_;
    GpioModel::File f_;
    int line_;
    unsigned seen_;
    size_t pos_ = 0;
};

} // namespace

GpioModel::GpioModel() { Kernel::instance().attach(this); }
GpioModel::~GpioModel() { Kernel::instance().detach(this); }

bool GpioModel::owns(std::string_view path) const { return path.starts_with(kRoot); }

bool GpioModel::parse(std::string_view path, File *f, int *line) const
{
    if (!path.starts_with(kRoot))
        return false;
    path.remove_prefix(kRoot.size());
    if (path == "/export") {
        *f = File::Export;
        *line = -1;
        return true;
    }
    if (path == "/unexport") {
        *f = File::Unexport;
        *line = -1;
        return true;
    }
    if (!path.starts_with("/gpio"))
        return false;
    path.remove_prefix(5);
    auto slash = path.find('/');
    if (slash == std::string_view::npos || !number(path.substr(0, slash), line) || *line < 0 ||
        *line >= kLines || !lines_[*line].exported)
        return false;
    auto attr = path.substr(slash + 1);
    if (attr == "value")
        *f = File::Value;
    else if (attr == "direction")
        *f = File::Direction;
    else if (attr == "edge")
        *f = File::Edge;
    else
        return false;
    return true;
}

bool GpioModel::exists(std::string_view path) const
{
    File f;
    int line;
    return parse(path, &f, &line);
}

std::unique_ptr<VFile> GpioModel::open(std::string_view path, int flags, int *err)
{
    File f;
    int line;
    if (!parse(path, &f, &line)) {
        *err = ENOENT;
        return nullptr;
    }
    int acc = flags & O_ACCMODE;
    bool control = f == File::Export || f == File::Unexport;
    if (control && acc == O_RDONLY) {
        *err = EACCES; // write-only attributes
        return nullptr;
    }
    if (!control && lines_[line].fail_open) {
        *err = EIO;
        return nullptr;
    }
    if (control)
        return std::make_unique<ControlFile>(*this, f);
    return std::make_unique<LineFile>(*this, f, line);
}

void GpioModel::append(File f, int line, const void *buf, size_t len)
{
    if (logging_)
        log_.push_back({f, line, std::string(static_cast<const char *>(buf), len)});
}

void GpioModel::set_logging(bool on)
{
    std::lock_guard lock(Kernel::instance().mutex());
    logging_ = on;
}

void GpioModel::set_value(int n, int level, bool from_library)
{
    Line &l = lines_[n];
    int before = l.value();
    if (from_library)
        l.out_level = level ? 1 : 0;
    else
        l.in_level = level ? 1 : 0;
    int after = l.value();
    if (after != before) {
        bool rising = after > before;
        if (l.edge == "both" || (l.edge == "rising" && rising) || (l.edge == "falling" && !rising))
            ++l.edges;
        Kernel::instance().notify();
    }
    if (from_library)
        for (auto &fn : l.listeners)
            fn(n, l.out_level);
}

void GpioModel::drive(int line, int level)
{
    std::lock_guard lock(Kernel::instance().mutex());
    set_value(line, level, false);
}

int GpioModel::level(int line) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return lines_[line].value();
}

bool GpioModel::exported(int line) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return lines_[line].exported;
}

std::string GpioModel::direction(int line) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return lines_[line].direction;
}

std::string GpioModel::edge(int line) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return lines_[line].edge;
}

std::vector<GpioModel::Write> GpioModel::log() const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return log_;
}

void GpioModel::clear_log()
{
    std::lock_guard lock(Kernel::instance().mutex());
    log_.clear();
}

void GpioModel::on_output(int line, Listener fn)
{
    std::lock_guard lock(Kernel::instance().mutex());
    lines_[line].listeners.push_back(std::move(fn));
}

void GpioModel::fail_value_open(int line, bool fail)
{
    std::lock_guard lock(Kernel::instance().mutex());
    lines_[line].fail_open = fail;
}

} // namespace sim
