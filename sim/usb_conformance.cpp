#include "usb_conformance.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

namespace sim {

using Clock = std::chrono::steady_clock;

const char *to_string(Verdict v)
{
    switch (v) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "FAIL";
    case Verdict::Refused: return "refused";
    }
    return "?";
}

bool ConformanceTable::passed() const
{
    for (auto &c : checks)
        if (c.verdict == Verdict::Fail)
            return false;
    return !checks.empty();
}

const Check *ConformanceTable::find(std::string_view name) const
{
    for (auto &c : checks)
        if (c.name == name)
            return &c;
    return nullptr;
}

std::vector<std::string> ConformanceTable::names(Verdict v) const
{
    std::vector<std::string> n;
    for (auto &c : checks)
        if (c.verdict == v)
            n.push_back(c.name);
    return n;
}

std::string ConformanceTable::text() const
{
    std::string s = std::string("conformance, ") + to_string(style) + " enumeration\n";
    for (auto &c : checks) {
        std::string v = to_string(c.verdict);
        s += v + std::string(9 - std::min<size_t>(8, v.size()), ' ') + c.name;
        if (!c.detail.empty())
            s += " (" + c.detail + ")";
        s += '\n';
    }
    return s;
}

namespace {

class Run {
public:
    Run(UsbHost &h, EnumStyle style) : h_(h) { t_.style = style; }

    ConformanceTable take() { return std::move(t_); }

    void add(const std::string &name, Verdict v, const std::string &detail = {})
    {
        t_.checks.push_back({name, v, detail});
    }
    void add(const std::string &name, bool ok, const std::string &detail = {})
    {
        add(name, ok ? Verdict::Pass : Verdict::Fail, ok ? std::string() : detail);
    }

    void record_enumeration(const std::string &tag)
    {
        HostSnapshot s = h_.snapshot();
        for (auto &st : s.last_enumeration) {
            Verdict v = st.ok ? Verdict::Pass
                        : (!st.required && st.result.stalled()) ? Verdict::Refused
                                                                 : Verdict::Fail;
            add(tag + st.name, v, st.ok ? "" : to_string(st.result.status));
        }
        dev_ = s.device_descriptor;
        cfg_ = s.config_descriptor;
        reports_ = s.report_descriptors;
    }

    // The device answers a plain request after whatever came before.
    std::optional<std::string> answers_next()
    {
        ControlResult r = h_.control(Setup::get_descriptor(usb::DescDevice, 0, 18));
        if (!r.ok())
            return std::string("next SETUP: ") + to_string(r.status);
        if (r.data != dev_)
            return std::string("next SETUP answered other bytes");
        return std::nullopt;
    }

    ControlResult expect_bytes(const std::string &name, const Setup &s, const std::vector<uint8_t> &want)
    {
        ControlResult r = h_.control(s);
        if (!r.ok())
            add(name, false, to_string(r.status));
        else if (r.data != want)
            add(name, false, std::to_string(r.data.size()) + " bytes, not the " + std::to_string(want.size()) + " expected");
        else
            add(name, true);
        return r;
    }

    // A request this device may refuse: a stall is "refused", an answer "pass"; either way the
    // next SETUP must be answered. `must_refuse`: an answer is a fault (a request error).
    void refusable(const std::string &name, const Setup &s, std::vector<uint8_t> out = {}, bool must_refuse = false)
    {
        ControlResult r = h_.control(s, out);
        auto next = answers_next();
        if (next)
            add(name, Verdict::Fail, *next);
        else if (r.stalled())
            add(name, Verdict::Refused, "stall");
        else if (r.ok())
            add(name, must_refuse ? Verdict::Fail : Verdict::Pass, must_refuse ? "accepted" : "");
        else
            add(name, Verdict::Fail, to_string(r.status));
    }

    const std::string in(const std::string &state) { return " [" + state + "]"; }

    void descriptor_tests(const std::string &state, uint8_t config_value)
    {
        const std::string at = in(state);
        expect_bytes("device descriptor" + at, Setup::get_descriptor(usb::DescDevice, 0, 18), dev_);
        expect_bytes("device descriptor, wLength 8" + at, Setup::get_descriptor(usb::DescDevice, 0, 8),
                     {dev_.begin(), dev_.begin() + std::min<size_t>(8, dev_.size())});
        expect_bytes("configuration, wLength 9" + at, Setup::get_descriptor(usb::DescConfig, 0, 9),
                     {cfg_.begin(), cfg_.begin() + std::min<size_t>(9, cfg_.size())});
        ControlResult r = expect_bytes("configuration, wTotalLength" + at,
                                       Setup::get_descriptor(usb::DescConfig, 0, uint16_t(cfg_.size())), cfg_);
        expect_bytes("configuration, wLength 255" + at, Setup::get_descriptor(usb::DescConfig, 0, 255), cfg_);
        {
            ControlResult z = h_.control(Setup::get_descriptor(usb::DescDevice, 0, 0));
            add("device descriptor, wLength 0" + at, z.ok() && z.data.empty(),
                z.ok() ? std::to_string(z.data.size()) + " bytes" : to_string(z.status));
        }
        for (uint8_t idx : {0, 1, 2}) {
            std::string name = "string " + std::to_string(idx) + at;
            ControlResult s = h_.control(Setup::get_descriptor(usb::DescString, idx, 255, idx ? 0x0409 : 0));
            if (s.stalled()) {
                add(name, Verdict::Refused, "stall"); // no string is referenced: optional
                continue;
            }
            auto text = s.ok() ? parse_string_descriptor(s.data) : std::nullopt;
            bool ok = text.has_value();
            if (ok && idx == 0)
                ok = s.data.size() >= 4 && s.data[2] == 0x09 && s.data[3] == 0x04;
            add(name, ok, s.ok() ? "malformed" : to_string(s.status));
        }
        ControlResult st = h_.control(Setup::std(usb::DirIn, usb::GetStatus, 0, 0, 2));
        add("GET_STATUS device" + at, st.ok() && st.data.size() == 2 && !(st.data[0] & 0xFC) && st.data[1] == 0,
            st.ok() ? "answer of " + std::to_string(st.data.size()) + " bytes" : to_string(st.status));
        st = h_.control(Setup::std(usb::DirIn, usb::GetStatus, 0, 0, 1));
        add("GET_STATUS device, wLength 1" + at, st.ok() && st.data.size() == 1,
            st.ok() ? std::to_string(st.data.size()) + " bytes" : to_string(st.status));
        ControlResult gc = h_.control(Setup::std(usb::DirIn, usb::GetConfiguration, 0, 0, 1));
        add("GET_CONFIGURATION is " + std::to_string(config_value) + at,
            gc.ok() && gc.data.size() == 1 && gc.data[0] == config_value,
            gc.ok() ? (gc.data.empty() ? "no byte" : "answered " + std::to_string(gc.data[0])) : to_string(gc.status));
        (void)r;
    }

    void configured_tests()
    {
        const std::string at = in("configured");
        ConfigInfo ci = parse_config_descriptor(cfg_);
        add("configuration structure", ci.ok, ci.error);
        for (auto &itf : ci.interfaces) {
            const std::string n = std::to_string(itf.number);
            auto it = reports_.find(itf.number);
            if (itf.has_hid && it != reports_.end()) {
                expect_bytes("report descriptor interface " + n + at,
                             Setup::get_report_descriptor(itf.number, itf.report_length), it->second);
                ReportLayout l = parse_report_descriptor(it->second);
                std::string why = l.ok ? "" : l.error;
                bool ok = l.ok;
                if (ok && itf.protocol == 2)
                    ok = l.input_bytes(0) == kMouseReportLen, why = "mouse report of " + std::to_string(l.input_bytes(0)) + " bytes";
                if (ok && itf.protocol == 1) {
                    ok = l.input_bytes(kKeyboardReportId) == kKeyboardReportLen &&
                         l.input_bytes(kConsumerReportId) == kConsumerReportLen && l.output_bytes(kKeyboardReportId) == 2;
                    why = "keyboard " + std::to_string(l.input_bytes(1)) + ", consumer " + std::to_string(l.input_bytes(2)) +
                          ", LED " + std::to_string(l.output_bytes(1)) + " bytes";
                }
                add("report sizes interface " + n, ok, why);
            }
            ControlResult gi = h_.control(Setup::std(usb::DirIn | usb::RecipInterface, usb::GetInterface, 0, itf.number, 1));
            add("GET_INTERFACE " + n + " is 0" + at, gi.ok() && gi.data == std::vector<uint8_t>{0},
                gi.ok() ? "answered " + std::to_string(gi.data.size()) + " bytes" : to_string(gi.status));
            ControlResult gs = h_.control(Setup::std(usb::DirIn | usb::RecipInterface, usb::GetStatus, 0, itf.number, 2));
            add("GET_STATUS interface " + n + at, gs.ok() && gs.data == std::vector<uint8_t>{0, 0},
                gs.ok() ? "answered " + std::to_string(gs.data.size()) + " bytes" : to_string(gs.status));
            ControlResult si = h_.control(Setup::std(usb::TypeClass | usb::RecipInterface, usb::HidSetIdle, 0, itf.number, 0));
            add("SET_IDLE interface " + n + at, si.ok(), to_string(si.status));
            for (auto &ep : itf.endpoints) {
                ControlResult es = h_.control(Setup::std(usb::DirIn | usb::RecipEndpoint, usb::GetStatus, 0, ep.address, 2));
                add("GET_STATUS endpoint " + hex(ep.address) + at, es.ok() && es.data == std::vector<uint8_t>{0, 0},
                    es.ok() ? "halted or " + std::to_string(es.data.size()) + " bytes" : to_string(es.status));
            }
        }
    }

    void refused_tests()
    {
        const Setup get_hid0 = Setup::std(usb::DirIn | usb::RecipInterface, usb::GetDescriptor, usb::DescHid << 8, 0, 9);
        const Setup get_hid1 = Setup::std(usb::DirIn | usb::RecipInterface, usb::GetDescriptor, usb::DescHid << 8, 1, 9);
        const uint8_t cls_in = usb::DirIn | usb::TypeClass | usb::RecipInterface;
        const uint8_t cls_out = usb::TypeClass | usb::RecipInterface;
        refusable("SET_FEATURE(DEVICE_REMOTE_WAKEUP)", Setup::std(0, usb::SetFeature, usb::RemoteWakeup, 0, 0));
        refusable("SET_FEATURE(ENDPOINT_HALT) 0x81", Setup::std(usb::RecipEndpoint, usb::SetFeature, usb::EndpointHalt, 0x81, 0));
        if (t_.checks.back().verdict == Verdict::Pass)
            h_.clear_halt(0x81);
        refusable("GET_DESCRIPTOR HID, interface 0", get_hid0);
        refusable("GET_DESCRIPTOR HID, interface 1", get_hid1);
        refusable("GET_DESCRIPTOR device qualifier", Setup::get_descriptor(usb::DescQualifier, 0, 10));
        refusable("GET_DESCRIPTOR other-speed configuration", Setup::get_descriptor(usb::DescOtherSpeed, 0, 9));
        refusable("GET_DESCRIPTOR BOS", Setup::get_descriptor(0x0F, 0, 5));
        refusable("GET_DESCRIPTOR string 3", Setup::get_descriptor(usb::DescString, 3, 255, 0x0409));
        refusable("GET_DESCRIPTOR string 0xEE", Setup::get_descriptor(usb::DescString, 0xEE, 0x12, 0));
        refusable("HID GET_REPORT", Setup::std(cls_in, usb::HidGetReport, 0x0101, 1, 12));
        refusable("HID SET_REPORT (LEDs)", Setup::std(cls_out, usb::HidSetReport, 0x0201, 1, 2), {kKeyboardReportId, 0});
        refusable("HID GET_IDLE", Setup::std(cls_in, usb::HidGetIdle, 0, 1, 1));
        refusable("HID SET_PROTOCOL (boot)", Setup::std(cls_out, usb::HidSetProtocol, 0, 0, 0));
        refusable("HID GET_PROTOCOL", Setup::std(cls_in, usb::HidGetProtocol, 0, 0, 1));
        refusable("SET_DESCRIPTOR", Setup::std(0, usb::SetDescriptor, usb::DescDevice << 8, 0, 18), dev_);
        refusable("SET_INTERFACE 0, alternate 0", Setup::std(usb::RecipInterface, usb::SetInterface, 0, 0, 0));
        refusable("SYNCH_FRAME 0x81", Setup::std(usb::DirIn | usb::RecipEndpoint, usb::SynchFrame, 0, 0x81, 2));
        refusable("vendor request", Setup::std(usb::DirIn | 0x40, 0x01, 0, 0, 8));
        refusable("CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)", Setup::std(0, usb::ClearFeature, usb::RemoteWakeup, 0, 0));
        refusable("CLEAR_FEATURE(ENDPOINT_HALT) 0x83, no such endpoint",
                  Setup::std(usb::RecipEndpoint, usb::ClearFeature, usb::EndpointHalt, 0x83, 0), {}, true);
        for (uint8_t ep : {0x81, 0x82, 0x02}) {
            ControlResult r = h_.clear_halt(ep);
            auto next = answers_next();
            add("CLEAR_FEATURE(ENDPOINT_HALT) " + hex(ep), r.ok() && !next,
                next ? *next : to_string(r.status));
        }
    }

    void abandon_tests()
    {
        using A = ControlOptions::Abandon;
        struct Case {
            const char *name;
            Setup s;
            A a;
        };
        const Case cases[] = {
            {"abandoned after SETUP", Setup::get_descriptor(usb::DescConfig, 0, 66), A::AfterSetup},
            {"abandoned after one data packet", Setup::get_descriptor(usb::DescConfig, 0, 66), A::AfterData},
            {"abandoned before the status stage", Setup::get_descriptor(usb::DescConfig, 0, 66), A::BeforeStatus},
            {"abandoned request without data", Setup::std(usb::TypeClass | usb::RecipInterface, usb::HidSetIdle, 0, 0, 0), A::AfterSetup},
            {"abandoned after a refused request", Setup::get_descriptor(usb::DescQualifier, 0, 10), A::AfterSetup},
        };
        for (const Case &c : cases) {
            ControlOptions o;
            o.abandon = c.a;
            ControlResult r = h_.control(c.s, {}, o);
            auto next = answers_next();
            add(std::string(c.name) + ": next request answered", r.status == XferStatus::Abandoned && !next,
                next ? *next : to_string(r.status));
        }
        // A SET_ADDRESS the host gives up before its status stage must not move the device.
        HostSnapshot s = h_.snapshot();
        uint8_t other = uint8_t(s.address == 126 ? 125 : 126);
        ControlOptions o;
        o.abandon = A::AfterSetup;
        h_.control(Setup::std(0, usb::SetAddress, other, 0, 0), {}, o);
        auto next = answers_next();
        add("abandoned SET_ADDRESS keeps the address", !next, next ? *next : "");
        if (next) { // the device may sit at the other address now: start again
            h_.enumerate(t_.style);
            record_dev_only();
        }
    }

    void record_dev_only()
    {
        HostSnapshot s = h_.snapshot();
        dev_ = s.device_descriptor;
    }

    // SET_ADDRESS one transaction at a time: the device must keep answering at address 0 until
    // the status stage is done, and only at the new address after it.
    void address_after_status(uint8_t a)
    {
        const std::string name = "SET_ADDRESS takes effect after the status stage";
        const auto until = Clock::now() + 500ms;
        Handshake hs;
        while ((hs = h_.raw_setup(0, Setup::std(0, usb::SetAddress, a, 0, 0))) == Handshake::Nak && Clock::now() < until)
            h_.idle(100us);
        if (hs != Handshake::Ack)
            return add(name, false, "SETUP not taken");
        if (h_.raw_in(a, 0).hs != Handshake::Timeout)
            return add(name, false, "answered at the new address before the status stage");
        InPacket p;
        while ((p = h_.raw_in(0, 0)).hs == Handshake::Nak && Clock::now() < until)
            h_.idle(100us);
        if (p.hs != Handshake::Ack || p.len != 0 || p.toggle != 1)
            return add(name, false, "no zero-length DATA1 status packet");
        h_.idle(2ms);
        if (h_.raw_in(0, 0).hs != Handshake::Timeout)
            return add(name, false, "still answers at address 0");
        ControlOptions o;
        o.address = a;
        ControlResult r = h_.control(Setup::get_descriptor(usb::DescDevice, 0, 18), {}, o);
        add(name, r.ok() && r.data == dev_, r.ok() ? "other bytes at the new address" : to_string(r.status));
    }

    void compliance_states()
    {
        h_.bus_reset(false);
        descriptor_tests("default", 0);
        address_after_status(42);
        h_.bus_reset(false);
        ControlResult r = h_.set_address(42);
        add("SET_ADDRESS 42", r.ok(), to_string(r.status));
        if (!r.ok())
            return;
        descriptor_tests("addressed", 0);
        r = h_.set_configuration(1);
        add("SET_CONFIGURATION 1", r.ok(), to_string(r.status));
    }

    void repeated(EnumStyle style, unsigned n)
    {
        unsigned failed = 0, differed = 0;
        for (unsigned i = 0; i < n; ++i) {
            if (!h_.enumerate(style)) {
                ++failed;
                continue;
            }
            HostSnapshot s = h_.snapshot();
            if (s.device_descriptor != dev_ || s.config_descriptor != cfg_ || s.report_descriptors != reports_)
                ++differed;
        }
        add("repeated enumeration x" + std::to_string(n), n > 0 && failed == 0 && differed == 0,
            std::to_string(failed) + " failed, " + std::to_string(differed) + " read other descriptors");
    }

    static std::string answer(const ControlResult &r)
    {
        if (!r.ok())
            return to_string(r.status);
        std::string s = "answered";
        for (uint8_t b : r.data)
            s += " " + hex(b);
        return r.data.empty() ? "answered nothing" : s;
    }

    // The boot interfaces as a firmware host left them, then what it reads from them.
    void boot_tests(const ConformanceOptions &opts)
    {
        const ConfigInfo ci = parse_config_descriptor(cfg_);
        const InterfaceInfo *kb = nullptr, *ms = nullptr;
        for (auto &itf : ci.interfaces) {
            if (itf.cls != 0x03 || itf.subclass != 1)
                continue;
            if (itf.protocol == 1)
                kb = &itf;
            else if (itf.protocol == 2)
                ms = &itf;
            const std::string n = std::to_string(itf.number);
            ControlResult p = h_.get_protocol(itf.number);
            add("GET_PROTOCOL interface " + n + " is boot", p.ok() && p.data == std::vector<uint8_t>{0}, answer(p));
            ControlResult i = h_.get_idle(itf.number);
            add("GET_IDLE interface " + n + " is 0", i.ok() && i.data == std::vector<uint8_t>{0}, answer(i));
            // Asked for more than the boot report: the device answers the report it has.
            const size_t len = itf.protocol == 1 ? kBootKeyboardReportLen : kBootMouseReportLen;
            ControlResult r = h_.get_report(itf.number, 0, 64);
            add("GET_REPORT interface " + n + " in boot format", r.ok() && r.data.size() == len, answer(r));
        }
        if (!kb || !ms)
            return add("boot keyboard and mouse interfaces", false, "not both declared");
        add("LEDs by SET_REPORT", h_.set_leds(0x02) && h_.set_leds(0x00), "refused");
        uint8_t kb_in = 0;
        for (const EndpointInfo &ep : kb->endpoints)
            if (ep.in() && ep.interrupt())
                kb_in = ep.address;
        if (opts.input)
            input_tests(opts.input, kb->number, kb_in);
        idle_tests(kb->number, kb_in, opts.idle);
    }

    // Frames run (on this thread, which holds the bus) while `fn` runs on another.
    void with_frames(const std::function<void()> &fn)
    {
        std::atomic<bool> done{false};
        std::thread t([&] {
            fn();
            done = true;
        });
        while (!done)
            h_.idle(1ms);
        t.join();
    }

    // Until the host's view satisfies `pred`, frames running; false after a second.
    bool settle(const std::function<bool(const HostView &)> &pred)
    {
        const auto until = Clock::now() + 1s;
        while (!pred(h_.view())) {
            if (Clock::now() >= until)
                return false;
            h_.idle(1ms);
        }
        return true;
    }

    void input_tests(const ConformanceInput &in, uint8_t kb_itf, uint8_t kb_ep)
    {
        // Every key alone: held once pressed, gone once released, one press each.
        std::vector<uint8_t> usages;
        for (unsigned u = 0x04; u <= 0x65; ++u)
            usages.push_back(uint8_t(u));
        for (unsigned u = 0xE0; u <= 0xE7; ++u)
            usages.push_back(uint8_t(u));
        std::string wrong;
        for (uint8_t u : usages) {
            const unsigned before = h_.view().presses(u);
            with_frames([&] { in.key(u, true); });
            bool ok = settle([&](const HostView &v) { return v.key_held(u); });
            with_frames([&] { in.key(u, false); });
            ok = ok && settle([&](const HostView &v) { return !v.key_held(u) && v.keys.empty() && !v.modifiers; });
            if (!ok || h_.view().presses(u) != before + 1)
                wrong += " " + hex(u);
        }
        add("every key through the boot report", wrong.empty(), "wrong:" + wrong);

        // Six keys held, a seventh: ErrorRollOver in all six slots, and the host keeps the six.
        const std::vector<uint8_t> seven = {0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
        const std::vector<uint8_t> six(seven.begin(), seven.end() - 1);
        auto holds = [](const std::vector<uint8_t> &want) {
            return [want](const HostView &v) {
                auto k = v.keys;
                std::sort(k.begin(), k.end());
                return k == want && v.modifiers == 0x02;
            };
        };
        with_frames([&] {
            in.key(0xE1, true);
            for (uint8_t u : six)
                in.key(u, true);
        });
        add("six keys and a modifier held", settle(holds(six)), describe(h_.view()));
        ControlResult now = h_.get_report(kb_itf, 0, 64);
        add("GET_REPORT answers the six keys", now.ok() && now.data.size() == kBootKeyboardReportLen &&
            now.data[0] == 0x02 && std::is_permutation(six.begin(), six.end(), now.data.begin() + 2), answer(now));
        const unsigned seventh_presses = h_.view().presses(seven.back());
        uint64_t cursor = h_.report_seq();
        with_frames([&] { in.key(seven.back(), true); });
        bool rollover = false;
        settle([&](const HostView &) {
            for (const Report &r : h_.reports(kb_ep))
                if (r.seq >= cursor && r.bytes.size() == kBootKeyboardReportLen &&
                    std::all_of(r.bytes.begin() + 2, r.bytes.end(), [](uint8_t b) { return b == 0x01; }))
                    rollover = true;
            return rollover;
        });
        add("seventh key: ErrorRollOver in every slot", rollover, "no such report");
        add("seventh key: the host keeps the six", holds(six)(h_.view()) && h_.view().presses(seven.back()) == seventh_presses,
            describe(h_.view()));
        with_frames([&] { in.key(six.front(), false); });
        add("one of seven released: the other six arrive",
            settle(holds(std::vector<uint8_t>(seven.begin() + 1, seven.end()))), describe(h_.view()));
        with_frames([&] {
            for (uint8_t u : seven)
                in.key(u, false);
            in.key(0xE1, false);
        });
        add("all released", settle([](const HostView &v) { return v.keys.empty() && !v.modifiers; }),
            describe(h_.view()));
        protocol_switch(in, kb_itf, kb_ep);

        // Buttons 1..3, then motion beyond a boot report's range, carried over exactly.
        wrong.clear();
        for (int b = 1; b <= 3; ++b) {
            const unsigned before = h_.view().button_presses[b - 1];
            with_frames([&] { in.button(b, true); });
            bool ok = settle([&](const HostView &v) { return v.buttons == 1 << (b - 1); });
            with_frames([&] { in.button(b, false); });
            ok = ok && settle([](const HostView &v) { return v.buttons == 0; });
            if (!ok || h_.view().button_presses[b - 1] != before + 1)
                wrong += " " + std::to_string(b);
        }
        add("every button through the boot report", wrong.empty(), "wrong:" + wrong);
        const HostView at = h_.view();
        with_frames([&] {
            in.move(300, -200);
            in.move(-5, 7);
        });
        bool moved = settle([&](const HostView &v) { return v.x - at.x == 295 && v.y - at.y == -193; });
        add("motion summed exactly", moved,
            "(" + std::to_string(h_.view().x - at.x) + ", " + std::to_string(h_.view().y - at.y) + ")");
    }

    // To report protocol and back with a key held and one changing just before: after each
    // switch no report in the old format, and no change lost or repeated.
    void protocol_switch(const ConformanceInput &in, uint8_t itf, uint8_t ep)
    {
        const uint8_t a = 0x04, b = 0x05;
        const unsigned pa = h_.view().presses(a), pb = h_.view().presses(b);
        std::string why;
        auto step = [&](uint8_t protocol, uint8_t key, bool down) {
            // The change goes in with no frames running: its report waits in the device, in the
            // old format, when the switch comes; what the host takes after the switch is new.
            in.key(key, down);
            ControlResult r = h_.set_protocol(itf, protocol);
            const uint64_t from = h_.report_seq();
            if (!r.ok() || !settle([&](const HostView &v) { return v.key_held(a) && v.key_held(b) == down; }))
                why += " protocol " + std::to_string(protocol) + ": " + (r.ok() ? describe(h_.view()) : to_string(r.status));
            for (const Report &x : h_.reports(ep))
                if (x.seq >= from && (x.bytes.size() == kBootKeyboardReportLen) != (protocol == 0))
                    why += " protocol " + std::to_string(protocol) + ": a report of " + std::to_string(x.bytes.size()) + " bytes";
        };
        with_frames([&] { in.key(a, true); });
        settle([&](const HostView &v) { return v.key_held(a); });
        step(1, b, true);
        step(0, b, false);
        with_frames([&] { in.key(a, false); });
        if (!settle([](const HostView &v) { return v.keys.empty(); }) || h_.view().presses(a) != pa + 1 ||
            h_.view().presses(b) != pb + 1)
            why += " presses or release wrong: " + describe(h_.view());
        add("protocol switches with keys held", why.empty(), why);
    }

    // With idle 0 the keyboard reports only changes; with a rate, the unchanged report comes
    // again at about that rate (never faster) until the rate is 0 again.
    void idle_tests(uint8_t itf, uint8_t ep, uint8_t idle)
    {
        const auto period = std::chrono::milliseconds(4 * idle);
        auto count = [&](uint64_t from) {
            size_t n = 0;
            for (const Report &r : h_.reports(ep))
                n += r.seq >= from;
            return n;
        };
        // A quiet stretch of three periods within a second (what was in flight may still come).
        const auto window = std::max(period * 3, std::chrono::milliseconds(50));
        auto quiet = [&] {
            const auto until = Clock::now() + 1s;
            while (Clock::now() < until) {
                const uint64_t from = h_.report_seq();
                h_.idle(window);
                if (count(from) == 0)
                    return true;
            }
            return false;
        };
        add("idle 0: no report while nothing changes", quiet(), "the keyboard keeps reporting");
        if (!idle)
            return;
        ControlResult r = h_.set_idle(itf, idle);
        ControlResult g = h_.get_idle(itf);
        add("GET_IDLE answers SET_IDLE " + std::to_string(idle), r.ok() && g.ok() && g.data == std::vector<uint8_t>{idle},
            r.ok() ? answer(g) : to_string(r.status));
        uint64_t from = h_.report_seq();
        const auto until = Clock::now() + 2s;
        while (count(from) < 4 && Clock::now() < until)
            h_.idle(1ms);
        std::vector<Report> rep;
        for (const Report &x : h_.reports(ep))
            if (x.seq >= from)
                rep.push_back(x);
        bool same = rep.size() >= 4;
        for (const Report &x : rep)
            same = same && x.bytes == rep.front().bytes;
        add("idle " + std::to_string(idle) + ": the unchanged report repeats", same,
            std::to_string(rep.size()) + " reports in 2 s, or they differ");
        if (rep.size() >= 2) {
            // The host may collect late, never early by more than a frame or two per report.
            const uint64_t span_us = rep.back().t_us - rep.front().t_us;
            const uint64_t most = span_us / uint64_t(std::chrono::microseconds(period).count()) + 2;
            add("idle " + std::to_string(idle) + ": not faster than the rate", rep.size() - 1 <= most,
                std::to_string(rep.size() - 1) + " repeats in " + std::to_string(span_us / 1000) + " ms");
        }
        r = h_.set_idle(itf, 0);
        add("idle back to 0: the repeats stop", r.ok() && quiet(), r.ok() ? "the keyboard keeps reporting" : to_string(r.status));
    }

    static std::string hex(unsigned v)
    {
        static const char d[] = "0123456789ABCDEF";
        return std::string("0x") + d[(v >> 4) & 0xF] + d[v & 0xF];
    }

    UsbHost &h_;
    ConformanceTable t_;
    std::vector<uint8_t> dev_, cfg_;
    std::map<uint8_t, std::vector<uint8_t>> reports_;
};

} // namespace

ConformanceTable run_conformance(UsbHost &host, EnumStyle style, const ConformanceOptions &opts)
{
    auto bus = host.lock_bus();
    Run run(host, style);
    const HostSnapshot before = host.snapshot();
    bool ok = host.enumerate(style);
    run.add(std::string("enumeration (") + to_string(style) + ")", ok, host.snapshot().last_error);
    run.record_enumeration("enumeration: ");
    if (!ok)
        return run.take();

    const HostStyle &hs = host_style(style);
    if (hs.tester)
        run.compliance_states();
    run.descriptor_tests("configured", 1);
    run.configured_tests();
    run.refused_tests();
    run.abandon_tests();
    if (hs.boot_protocol) {
        // The refusal checks may have left the boot interfaces otherwise: as firmware found them.
        ok = host.enumerate(style);
        run.add("enumeration for the boot checks", ok, host.snapshot().last_error);
        if (ok)
            run.boot_tests(opts);
    }
    if (hs.tester)
        run.repeated(style, opts.repeat);

    // Back to a device a host uses: enumerated, LED report taken, polled.
    ok = host.enumerate(style);
    run.add("enumeration again", ok, host.snapshot().last_error);
    HostSnapshot after = host.snapshot();
    run.add("interrupt endpoints polled without stall or error",
            after.in_stalls == before.in_stalls && after.in_errors == before.in_errors,
            std::to_string(after.in_stalls - before.in_stalls) + " stalls, " +
                std::to_string(after.in_errors - before.in_errors) + " errors");
    return run.take();
}

} // namespace sim
