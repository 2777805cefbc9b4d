// sysfs GPIO as the board's kernel offers it: /sys/class/gpio/export, unexport and, per
// exported line, direction, value and edge. Every write is logged in one ordered log.
#pragma once

#include "kernel.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class GpioModel : public Device {
public:
    enum class File { Export, Unexport, Direction, Value, Edge };
    struct Write {
        File file;
        int line; // -1 for export and unexport
        std::string bytes;
    };
    static constexpr int kLines = 64;

    GpioModel();
    ~GpioModel() override;

    // Test and model side; each takes the kernel mutex.
    void drive(int line, int level);   // the level an outside part puts on an input line
    int level(int line) const;         // what the line carries now
    bool exported(int line) const;
    std::string direction(int line) const;
    std::string edge(int line) const;
    std::vector<Write> log() const;
    void clear_log();
    // A panel fill is over half a million writes: tests that do not read the log turn it off.
    void set_logging(bool on);
    // Called (kernel mutex held) whenever the library writes a value to an output line.
    using Listener = std::function<void(int line, int level)>;
    void on_output(int line, Listener fn);
    // Open value files fail with EIO from now on (a broken sysfs, for failure paths).
    void fail_value_open(int line, bool fail);

    bool owns(std::string_view path) const override;
    bool exists(std::string_view path) const override;
    std::unique_ptr<VFile> open(std::string_view path, int flags, int *err) override;

    struct Line {
        bool exported = false;
        std::string direction = "in";
        std::string edge = "none";
        int out_level = 0;   // last value written while an output
        int in_level = 1;    // driven from outside; an unconnected line floats high
        unsigned edges = 0;  // edges seen that match `edge`
        bool fail_open = false;
        std::vector<Listener> listeners;
        int value() const { return direction == "out" ? out_level : in_level; }
    };

    // For the model's own files.
    Line &line(int n) { return lines_[n]; }
    void append(File f, int line, const void *buf, size_t len);
    void set_value(int line, int level, bool from_library);

private:
    bool parse(std::string_view path, File *f, int *line) const;
    std::array<Line, kLines> lines_;
    std::vector<Write> log_;
    bool logging_ = true;
};

} // namespace sim
