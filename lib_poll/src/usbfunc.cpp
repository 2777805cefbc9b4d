// The CH374 device controller: chip set-up, the interrupt service that answers the host's
// control transfers and notes report completions, and the device thread.
#include "usbfunc.h"

#include "CH374INC.H"
#include "chipio.h"
#include "global.h"
#include "sysio.h"
#include "tarvo.h"
#include "usbdev_state.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr uint8_t kStall = 0xFF;        // EP0 response: stall instead of a data length
constexpr uint8_t kEp0Packet = 8;       // bMaxPacketSize0
constexpr uint8_t kMaxSetupLen = 0x7F;  // longer requests are capped; no descriptor is longer
constexpr unsigned long kDetachUs = 400000; // long enough for any host to see a detach
constexpr long kIrqPollUs = 1000;       // serves a missed edge within about 1 ms
constexpr const char *kIrqValue = "/sys/class/gpio/gpio12/value";

// Kept between service calls; a bus reset leaves them as they are.
uint8_t SetupReq;
uint8_t SetupLen;   // bytes still to send; during SET_ADDRESS the new address
uint8_t *pDescr;
uint8_t cur_config; // value of the last SET_CONFIGURATION, 0 after a bus reset
std::atomic<bool> device_up; // the device thread has the chip on the bus
std::atomic<uint8_t> host_leds; // the host's last LED output report; any thread reads it
bool leds_follow;   // the data stage of a SET_REPORT to the keyboard's output report is next
uint8_t class_answer[usbdev::kTxReportMax]; // a class request's data stage
constexpr uint8_t kNoRequest = 0xFF; // SetupReq after a class request: no standard ending runs

uint8_t min8(uint8_t a, uint8_t b) { return a < b ? a : b; }

// Both interfaces start in report protocol, reporting only on a change, after a bus reset
// and a configuration.
void default_protocols()
{
    for (usbdev::TxEndpoint *ep : {&usbdev::ep1_tx, &usbdev::ep2_tx}) {
        usbdev::tx_set_protocol(*ep, false);
        ep->idle = 0;
    }
}

// The host no longer uses the device (bus reset, configuration 0, detach): what waits for it
// stays queued for the next configuration, whoever waits for a report is told at once.
// `mutex` held.
void unconfigure()
{
    cur_config = 0;
    usbdev::configok_store(0);
    usbdev::tx_restart(usbdev::ep1_tx, false);
    usbdev::tx_restart(usbdev::ep2_tx, false);
    default_protocols();
    usbdev::tx_session_end();
}

// The keyboard's output report: {0x01, leds}, or the bare byte from a host that leaves out
// the report identifier (boot protocol, firmware).
void take_leds(const uint8_t *buf, uint8_t len)
{
    if (len == 2 && buf[0] == 0x01)
        host_leds.store(buf[1], std::memory_order_relaxed);
    else if (len == 1)
        host_leds.store(buf[0], std::memory_order_relaxed);
}

// Copies the next chunk of the current descriptor to the EP0 buffer; returns its length.
uint8_t next_chunk()
{
    uint8_t l = min8(SetupLen, kEp0Packet);
    Dev_Write374Block(RAM_ENDP0_TRAN, l, pDescr);
    SetupLen = static_cast<uint8_t>(SetupLen - l);
    pDescr += l;
    return l;
}

// GET_DESCRIPTOR: picks the descriptor and sends its first chunk.
uint8_t get_descriptor(const USB_SETUP_REQ &req)
{
    uint8_t *d = nullptr;
    uint8_t len = 0;
    switch (req.wValueH) {
    case USB_DEVICE_DESCR_TYPE:
        puts("get DEF_USB_GET_DEVICE_DESCR ");
        d = MyDevDescr;
        len = sizeof MyDevDescr;
        break;
    case USB_CONFIG_DESCR_TYPE:
        puts("get DEF_USB_GET_CONFIG_DESCR");
        d = MyCfgDescr;
        len = sizeof MyCfgDescr;
        break;
    case USB_STRING_DESCR_TYPE:
        switch (req.wValueL) {
        case 0:
            printf("get MyLangDescr \n ");
            d = MyLangDescr;
            len = sizeof MyLangDescr;
            break;
        case 1:
            puts("get MyManuInfo ");
            d = MyManuInfo;
            len = sizeof MyManuInfo;
            break;
        case 2:
            puts("get MyProdInfo");
            d = MyProdInfo;
            len = sizeof MyProdInfo;
            break;
        default:
            puts("unknow req for string ");
            return kStall;
        }
        break;
    case USB_INTERF_DESCR_TYPE:
        puts("get interface descript");
        break;
    case USB_ENDP_DESCR_TYPE:
        puts("get endpoint descript");
        break;
    case USB_REPORT_DESCR_TYPE:
        printf("get report  %02x\n", req.wIndexL);
        if (req.wIndexL == 0) {
            d = ReportDescriptor_mouse;
            len = sizeof ReportDescriptor_mouse;
        } else {
            d = ReportDescriptor_keyboard;
            len = sizeof ReportDescriptor_keyboard;
        }
        break;
    default:
        printf("unknow discrip err %02X\n", req.wValueH);
        return kStall;
    }
    if (d)
        pDescr = d;
    if (len < SetupLen)
        SetupLen = len;
    return next_chunk();
}

// CLEAR_FEATURE: only endpoint recipients are accepted. The host resets its data toggle
// when it clears a halt, so the report the endpoint held goes out again as DATA0. The
// device stays usable: hosts clear a halt to recover a pipe, and nothing but an LED report
// would make it usable again, so held keys could never be released.
uint8_t clear_feature(const USB_SETUP_REQ &req)
{
    puts("clear feature");
    if ((req.bType & DEF_USB_REQ_RECIP) != DEF_USB_RECIP_ENDP)
        return kStall;
    uint8_t r;
    switch (req.wIndexL) {
    case 0x82:
        r = Dev_Read374Byte(REG_USB_ENDP2);
        Dev_Write374Byte(REG_USB_ENDP2, (r & ~M_EP2_TX_MASK) | M_EP2_TX_NAK);
        usbdev::tx_restart(usbdev::ep2_tx, cur_config != 0);
        return 0;
    case 0x02:
        r = Dev_Read374Byte(REG_USB_ENDP2);
        Dev_Write374Byte(REG_USB_ENDP2, r & ~M_EP_RX_MASK);
        return 0;
    case 0x81:
        r = Dev_Read374Byte(REG_USB_ENDP1);
        Dev_Write374Byte(REG_USB_ENDP1, (r & ~M_EP_TX_LEN_MASK) | M_EP_TX_NAK);
        usbdev::tx_restart(usbdev::ep1_tx, cur_config != 0);
        return 0;
    case 0x01:
        r = Dev_Read374Byte(REG_USB_ENDP1);
        Dev_Write374Byte(REG_USB_ENDP1, r & ~M_EP_RX_MASK);
        return 0;
    default:
        return kStall;
    }
}

uint8_t standard_request(const USB_SETUP_REQ &req)
{
    static const uint8_t status[2] = {0x00, 0x00};
    SetupReq = req.bReq;
    switch (req.bReq) {
    case DEF_USB_GET_STATUS:
        Dev_Write374Block(RAM_ENDP0_TRAN, 2, status);
        return SetupLen > 1 ? 2 : SetupLen;
    case DEF_USB_CLR_FEATURE:
        return clear_feature(req);
    case DEF_USB_SET_ADDRESS:
        printf("set addr %02x\n", req.wValueL);
        SetupLen = req.wValueL; // applied once the status stage is done
        return 0;
    case DEF_USB_GET_DESCR:
        return get_descriptor(req);
    case DEF_USB_GET_CONFIG:
        if (SetupLen)
            Dev_Write374Byte(RAM_ENDP0_TRAN, cur_config);
        return SetupLen ? 1 : 0;
    case DEF_USB_SET_CONFIG:
        // Configuring resets every endpoint's data toggle on both sides; what was waiting
        // for the host (the state it missed while away) goes out first, as DATA0. Reports
        // flow from here: a host may send its LED report late, by SET_REPORT, or never.
        if (!req.wValueL) {
            unconfigure();
            return 0;
        }
        cur_config = req.wValueL;
        usbdev::configok_store(1);
        default_protocols();
        usbdev::tx_restart(usbdev::ep1_tx, true);
        usbdev::tx_restart(usbdev::ep2_tx, true);
        return 0;
    case DEF_USB_GET_INTERF:
        Dev_Write374Byte(RAM_ENDP0_TRAN, 0x00);
        return SetupLen ? 1 : 0;
    default:
        return kStall;
    }
}

// Sends `len` bytes of class_answer as the data stage, in 8-byte packets as a descriptor.
uint8_t answer(uint8_t len)
{
    SetupReq = DEF_USB_GET_DESCR;
    pDescr = class_answer;
    SetupLen = min8(SetupLen, len);
    return next_chunk();
}

// HID class requests to interface 0 (mouse, endpoint 1) or 1 (keyboard, endpoint 2).
uint8_t class_request(const USB_SETUP_REQ &req)
{
    const uint8_t len = SetupLen;
    const bool in = req.bType == DEF_USB_HID_REQ_TYPE_IN_IF;
    // No standard request's ending may run at this one's status stage, and no data stage
    // but its own: a wLength left would let the status packet send on from a descriptor.
    SetupReq = kNoRequest;
    SetupLen = in ? len : 0;
    const bool to_if = req.bType == DEF_USB_HID_REQ_TYPE_OUT_IF || req.bType == DEF_USB_HID_REQ_TYPE_IN_IF;
    if (!to_if || req.wIndexH || req.wIndexL > 1) {
        puts("not stand req !err=1");
        return kStall;
    }
    usbdev::TxEndpoint &ep = req.wIndexL == 0 ? usbdev::ep1_tx : usbdev::ep2_tx;
    switch (req.bReq) {
    case DEF_USB_HID_GET_REPORT:
        if (in && req.wValueH == DEF_USB_HID_REPORT_INPUT) {
            const uint8_t n = usbdev::tx_current_report(ep, req.wValueL, class_answer);
            if (n)
                return answer(n);
        }
        break;
    case DEF_USB_HID_GET_IDLE:
        if (!in)
            break;
        class_answer[0] = ep.idle;
        return answer(1);
    case DEF_USB_HID_GET_PROTOCOL:
        if (!in)
            break;
        class_answer[0] = ep.boot ? 0 : 1;
        return answer(1);
    case DEF_USB_HID_SET_REPORT:
        if (in || req.wIndexL != 1 || req.wValueH != DEF_USB_HID_REPORT_OUTPUT || len == 0 || len > 2)
            break;
        leds_follow = true;
        return 0;
    case DEF_USB_HID_SET_IDLE:
        if (in)
            break;
        puts("SetIDEL...");
        ep.idle = req.wValueH;
        return 0;
    case DEF_USB_HID_SET_PROTOCOL:
        if (in || req.wValueL > 1)
            break;
        usbdev::tx_set_protocol(ep, req.wValueL == 0);
        return 0;
    default:
        break;
    }
    puts("not stand req !err=1");
    return kStall;
}

void setup_packet()
{
    uint8_t l = Dev_Read374Byte(REG_USB_LENGTH);
    if (l != sizeof(USB_SETUP_REQ)) {
        l = kStall;
    } else {
        USB_SETUP_REQ req;
        Dev_Read374Block(RAM_ENDP0_RECV, sizeof req, reinterpret_cast<uint8_t *>(&req));
        SetupLen = req.wLengthL;
        if (req.wLengthH || SetupLen > kMaxSetupLen)
            SetupLen = kMaxSetupLen;
        leds_follow = false; // a new SETUP ends a control transfer left unfinished
        l = req.bType & DEF_USB_REQ_TYPE ? class_request(req) : standard_request(req);
    }
    if (l == kStall) {
        Dev_Write374Byte(REG_USB_ENDP0, M_EP_RX_STALL | M_EP_TX_STALL);
    } else {
        uint8_t r = Dev_Read374Byte(REG_USB_ENDP0);
        Dev_Write374Byte(REG_USB_ENDP0, (r & BIT_EP_RX_TOG) | BIT_EP_TX_TOG | M_EP_RX_ACK | l);
    }
}

void ep0_in_done()
{
    switch (SetupReq) {
    case DEF_USB_GET_DESCR: {
        uint8_t l = next_chunk();
        uint8_t r = Dev_Read374Byte(REG_USB_ENDP0);
        r = static_cast<uint8_t>(((r & ~M_EP_TX_LEN_MASK) | l) ^ BIT_EP_TX_TOG);
        Dev_Write374Byte(REG_USB_ENDP0, r);
        break;
    }
    case DEF_USB_SET_ADDRESS:
        Dev_Write374Byte(REG_USB_ADDR, SetupLen);
        Dev_Write374Byte(REG_USB_ENDP0, M_EP_TX_NAK);
        break;
    default:
        Dev_Write374Byte(REG_USB_ENDP0, M_EP_TX_NAK);
        break;
    }
}

void transfer_done()
{
    uint8_t r;
    switch (Dev_Read374Byte(REG_USB_STATUS) & BIT_STAT_PID_ENDP) {
    case USB_INT_EP0_SETUP:
        setup_packet();
        break;
    case USB_INT_EP0_IN:
        ep0_in_done();
        break;
    case USB_INT_EP0_OUT:
        if (leds_follow) {
            // SET_REPORT's data; the zero-length status packet stays armed as DATA1.
            uint8_t buf[kEp0Packet];
            uint8_t l = min8(Dev_Read374Byte(REG_USB_LENGTH), sizeof buf);
            Dev_Read374Block(RAM_ENDP0_RECV, l, buf);
            take_leds(buf, l);
            leds_follow = false;
            Dev_Write374Byte(REG_USB_ENDP0, BIT_EP_TX_TOG | M_EP_RX_NAK);
        } else {
            Dev_Write374Byte(REG_USB_ENDP0, M_EP_TX_NAK);
        }
        break;
    case USB_INT_EP1_IN:
        r = Dev_Read374Byte(REG_USB_ENDP1);
        Dev_Write374Byte(REG_USB_ENDP1, (r & ~M_EP_TX_LEN_MASK) | M_EP_TX_NAK);
        usbdev::configok_store(1);
        usbdev::tx_collected(usbdev::ep1_tx);
        break;
    case USB_INT_EP2_IN:
        r = Dev_Read374Byte(REG_USB_ENDP2);
        Dev_Write374Byte(REG_USB_ENDP2, (r & ~M_EP2_TX_MASK) | M_EP2_TX_NAK);
        usbdev::configok_store(1);
        usbdev::tx_collected(usbdev::ep2_tx);
        break;
    case USB_INT_EP2_OUT: {
        uint8_t buf[64];
        uint8_t l = min8(Dev_Read374Byte(REG_USB_LENGTH), sizeof buf);
        Dev_Read374Block(RAM_ENDP2_RECV, l, buf);
        take_leds(buf, l);
        r = Dev_Read374Byte(REG_USB_ENDP2);
        Dev_Write374Byte(REG_USB_ENDP2, (r & ~M_EP_RX_MASK) ^ BIT_EP_RX_TOG);
        usbdev::configok_store(1);
        break;
    }
    default:
        break;
    }
    Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_TRANSFER);
}

// Waits 1 ms between looks at the chip when the interrupt line cannot be watched.
void *listen_without_irq_line()
{
    for (;;) {
        if (sys_poll_us(nullptr, 0, usbdev::tx_wait_us(kIrqPollUs)) == -1 && errno != EINTR) {
            perror("poll failed!\n");
            return nullptr;
        }
        USB_DeviceInterrupt(); // tests the flag register itself
        usbdev::tx_tick();
    }
}

} // namespace

extern "C" {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
char ep1_tx_ok;
char ep2_tx_ok;
uint8_t ep1_tx_tog;
uint8_t ep2_tx_tog;

void Init374Device(char Enable)
{
    printf("Init374Device %d\n", Enable);
    pthread_mutex_lock(&mutex);
    Dev_Write374Byte(REG_USB_SETUP, 0x00);
    pthread_mutex_unlock(&mutex);
    sys_sleep_us(kDetachUs);
    pthread_mutex_lock(&mutex);
    Dev_Write374Byte(REG_USB_ADDR, 0x00);
    Dev_Write374Byte(REG_USB_ENDP0, M_EP_TX_NAK);
    Dev_Write374Byte(REG_USB_ENDP1, M_EP_TX_NAK);
    Dev_Write374Byte(REG_USB_ENDP2, M_EP2_TX_NAK);
    Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_INTER_FLAG);
    Dev_Write374Byte(REG_INTER_EN, BIT_IE_TRANSFER | BIT_IE_BUS_RESET | BIT_IE_USB_SUSPEND);
    Dev_Write374Byte(REG_SYS_CTRL, BIT_CTRL_OE_POLAR);
    if (Enable)
        Dev_Write374Byte(REG_USB_SETUP, BIT_SETP_TRANS_EN | BIT_SETP_PULLUP_EN);
    pthread_mutex_unlock(&mutex);
}

void USB_DeviceInterrupt(void)
{
    pthread_mutex_lock(&mutex);
    if (Dev_Read374Byte(REG_INTER_FLAG) & BIT_IF_INTER_FLAG) {
        uint8_t s = Dev_Read374Byte(REG_INTER_FLAG);
        if (s & BIT_IF_BUS_RESET) {
            puts("Device reset ");
            // The host took a report just before it reset the bus: it is not sent again.
            if (s & BIT_IF_TRANSFER) {
                uint8_t st = Dev_Read374Byte(REG_USB_STATUS) & BIT_STAT_PID_ENDP;
                if (st == USB_INT_EP1_IN)
                    usbdev::tx_collected(usbdev::ep1_tx, false);
                else if (st == USB_INT_EP2_IN)
                    usbdev::tx_collected(usbdev::ep2_tx, false);
            }
            Dev_Write374Byte(REG_USB_ADDR, 0x00);
            Dev_Write374Byte(REG_USB_ENDP0, M_EP_TX_NAK);
            Dev_Write374Byte(REG_USB_ENDP1, M_EP_TX_NAK);
            Dev_Write374Byte(REG_USB_ENDP2, M_EP2_TX_NAK);
            // A reset starts afresh: an event still pending from before it (a suspend, a
            // transfer of the old session) must not stop the oscillator or move the address
            // of a device the host is about to enumerate. Hosts wait 10 ms after a reset
            // before the first SETUP, so no transfer of the new session is lost here.
            Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_INTER_FLAG);
            usbdev::bus_suspended = false;
            unconfigure();
        } else if (s & BIT_IF_TRANSFER) {
            usbdev::bus_suspended = false;
            transfer_done();
        } else if (s & BIT_IF_USB_SUSPEND) {
            usbdev::bus_suspended = !(s & BIT_IF_WAKE_UP);
            if (s & BIT_IF_WAKE_UP) {
                // Served late: the bus has already resumed, the oscillator must keep running.
                Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_USB_SUSPEND | BIT_IF_WAKE_UP);
            } else {
                Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_USB_SUSPEND);
                Dev_Write374Byte(REG_SYS_CTRL, Dev_Read374Byte(REG_SYS_CTRL) | BIT_CTRL_OSCIL_OFF);
            }
        } else if (s & BIT_IF_WAKE_UP) {
            usbdev::bus_suspended = false;
            Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_WAKE_UP);
        } else {
            Dev_Write374Byte(REG_INTER_FLAG, BIT_IF_USB_PAUSE | BIT_IF_INTER_FLAG);
        }
    }
    pthread_mutex_unlock(&mutex);
}

uint8_t USB_GetHostLeds(void) { return host_leds.load(std::memory_order_relaxed); }

int USB_DeviceDetach(void)
{
    // Without the device thread this process has no link to the chip yet.
    if (!device_up.load(std::memory_order_acquire) && (CH374U_SPI_init() < 0 || Ch374U_DevCheck() < 0))
        return err_DeviceDisconnected;
    pthread_mutex_lock(&mutex);
    Dev_Write374Byte(REG_USB_SETUP, 0x00);
    unconfigure();
    pthread_mutex_unlock(&mutex);
    return Success;
}

void *thread_device_listen(void *arg)
{
    (void)arg;
    pthread_setname_np(pthread_self(), "hb-device");
    interrupt_pin_init();
    int fd = sys_open(kIrqValue, O_RDONLY);
    struct pollfd pfd = {fd, POLLPRI, 0};
    if (fd < 0)
        puts("interrupt line not available, testing the chip every 1 ms");

    if (CH374U_SPI_init() < 0) {
        puts("spi error you kernel maybe not fix your board!");
        return nullptr;
    }
    if (Ch374U_DevCheck() < 0) {
        puts("communicate wit ch374u error !please check your hardware");
        return nullptr;
    }
    Init374Device(0);
    Init374Device(1);
    device_up.store(true, std::memory_order_release);
    puts("wait host enum device...");
    if (fd < 0)
        return listen_without_irq_line();

    for (;;) {
        int ret = sys_poll_us(&pfd, 1, usbdev::tx_wait_us(kIrqPollUs));
        if (ret == -1) {
            if (errno == EINTR) // a signal for the application is no reason to stop serving
                continue;
            perror("poll failed!\n");
            return nullptr;
        }
        char buf[10] = {'1'};
        sys_lseek(fd, 0, SEEK_SET);
        (void)sys_read(fd, buf, sizeof buf); // also acknowledges the edge
        // The line is active low and stays low while events are pending: a missed edge is
        // still served by the level test.
        if ((ret > 0 && (pfd.revents & POLLPRI)) || buf[0] == '0')
            USB_DeviceInterrupt();
        usbdev::tx_tick();
    }
}

} // extern "C"
