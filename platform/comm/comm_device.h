// The serial driver core: one open device, its driver thread and its operations.
//
// The driver thread watches the line. It blocks in ppoll() on the line and on an eventfd
// that the other threads write to when they hand it work; time-outs are deadlines on
// that wait, so an idle port costs no processor time. It moves received bytes into a
// bounded receive queue (when the queue is full it stops reading, so the kernel's flow
// control can act), finishes pending reads and writes, and raises comm events. A caller
// whose ReadFile the queue cannot satisfy reads the line itself first, and WriteFile
// writes what the line takes at once, so a busy stream needs no hand-over to the driver
// thread per transfer; one lock over reading the line and queueing what was read keeps
// the bytes in order.
//
// A handle may have any number of ReadFile and WriteFile calls pending, from any
// threads: reads wait in one queue and writes in another, and each queue is carried out
// in the order its operations were issued, one operation at a time, so bytes are
// neither lost nor reordered. A queued operation's total time-out counts from when it
// reaches the head of its queue, not from when it was issued. At most one
// WaitCommEvent is pending; a second is refused.
// Operations that can finish at once do so in the caller's thread. Every access to a
// caller's OVERLAPPED block or buffer happens under the device mutex, which is how
// CancelIo and CloseHandle guarantee that the driver has let go of them on return.
//
// Devices that vanish and come back. When the line hangs up (a USB adapter pulled out, a
// pseudo-terminal's far end closed: end of file, EIO, POLLHUP), the driver ends every
// pending read and write (ERROR_DEVICE_NOT_CONNECTED; a read that holds bytes completes
// with them), reports EV_EVENT1 (or, outside the mask, ends a pending wait with
// ERROR_DEVICE_NOT_CONNECTED), closes the device and its locks, and waits for it to
// come back through an arrival_watch on the path it was opened by: blocked, no timer.
// Meanwhile the handle stays valid: ReadFile delivers what the receive queue still
// holds, WaitCommEvent pends, GetCommMask and SetCommMask work (the mask is the handle's
// own); every other call fails at once with ERROR_DEVICE_NOT_CONNECTED. When the path
// opens again, the driver writes the handle's settings back to the device (the DCB with
// its software parts, DTR, RTS, break, X-off, the modem watch) and reports EV_EVENT2;
// time-outs, the mask and the queue were never lost.
//
// A freshly opened device reports the time-outs initial_timeouts(): reads end after a
// gap of read_interval_default ms in the incoming bytes, and no total time-outs. So a
// caller that sets only a total constant (as the shared port does) gets a short message
// a few milliseconds after its last byte, while a steady stream of 2400 baud or faster
// (at most 4.2 ms per character) still fills whole reads.
#pragma once

#include "platform/base/handle.h"
#include "platform/comm/arrival_watch.h"
#include "platform/comm/comm.h"
#include "platform/comm/receive_filter.h"
#include "platform/comm/serial_line.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

// A fixed-size ring of bytes: the receive queue.
class byte_ring {
public:
    explicit byte_ring(std::size_t capacity);
    std::size_t size() const { return count_; }
    std::size_t capacity() const { return capacity_; }
    std::size_t free() const { return capacity_ - count_; }
    void push(const BYTE* data, std::size_t size);  // size <= free()
    std::size_t pop(BYTE* out, std::size_t size);
    void clear() { head_ = count_ = 0; }

private:
    std::unique_ptr<BYTE[]> data_;
    std::size_t capacity_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

class comm_device final : public kernel_object {
public:
    using clock = std::chrono::steady_clock;
    static constexpr std::size_t receive_queue_size = 64 * 1024;
    static constexpr DWORD read_interval_default = 5;
    static constexpr COMMTIMEOUTS initial_timeouts()
    {
        return {read_interval_default, 0, 0, 0, 0};
    }

    // Opens a device path (a tty, or "sim:<name>") and starts its driver thread.
    // ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED or another error.
    static DWORD open(const std::string& path, std::shared_ptr<comm_device>& device);

    comm_device();
    ~comm_device() override;
    void on_last_handle_closed() override;

    BOOL read_file(LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED ov);
    BOOL write_file(LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED ov);
    BOOL wait_comm_event(LPDWORD mask, LPOVERLAPPED ov);
    BOOL get_overlapped_result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
    BOOL cancel_io();
    BOOL cancel_one(LPOVERLAPPED ov);
    BOOL get_state(DCB& dcb);
    BOOL set_state(const DCB& dcb);
    BOOL get_timeouts(COMMTIMEOUTS& timeouts);
    BOOL set_timeouts(const COMMTIMEOUTS& timeouts);
    BOOL get_mask(DWORD& mask);
    BOOL set_mask(DWORD mask);
    BOOL clear_error(LPDWORD errors, LPCOMSTAT stat);
    BOOL get_modem_status(DWORD& status);
    BOOL escape(DWORD function);

private:
    // A queued read or write. Its total time-out is fixed when it is issued and starts
    // to run when the operation reaches the head of its queue (start()).
    struct transfer_op {
        LPOVERLAPPED ov = nullptr;
        DWORD size = 0;
        DWORD done = 0;
        bool started = false;
        ULONGLONG total_ms = 0;  // 0: no total time-out
        std::optional<clock::time_point> total;
        void start(clock::time_point now);
    };
    struct read_op : transfer_op {
        BYTE* buffer = nullptr;
        bool return_now = false;       // MAXDWORD/0/0: whatever is there, even nothing
        bool first_byte_ends = false;  // the other ReadIntervalTimeout MAXDWORD forms
        DWORD interval = 0;            // 0: none
        clock::time_point last_byte;
        // Whether the read is complete once it holds have bytes.
        bool met(std::size_t have) const
        {
            return have == size || return_now || (first_byte_ends && have > 0);
        }
    };
    struct write_op : transfer_op {
        const BYTE* buffer = nullptr;
    };
    struct wait_op {
        LPOVERLAPPED ov;
        LPDWORD mask;
    };

    using lock_t = std::unique_lock<std::mutex>;

    static int open_line(const std::string& path, std::unique_ptr<serial_line>& line);
    DWORD start(std::unique_ptr<serial_line> line);
    void let_go();                 // driver thread: closes a vanished device, starts watching
    void try_reopen(lock_t& lock);  // driver thread, lock not held: reopens a device back
    void run();
    void kick();
    BOOL fail(DWORD error) const;
    DWORD usable() const;  // ERROR_SUCCESS or why the device cannot be used
    // ERROR_SUCCESS when a ReadFile or WriteFile may start: the device is usable, the
    // buffer is there and no abort is latched.
    DWORD transfer_allowed(LPCVOID buffer, DWORD size) const;
    BOOL finish_sync(LPOVERLAPPED ov, LPDWORD transferred, lock_t& lock);
    static void begin(LPOVERLAPPED ov);
    void complete(LPOVERLAPPED ov, DWORD error, DWORD bytes);
    void raise(DWORD events);
    void abort_transfers(DWORD error);  // every pending read and write
    void abort_all(DWORD error);
    void device_gone();
    bool can_pull() const;  // the line may be read: the queue has room, flow allows it
    ssize_t read_line(std::size_t room);
    void take_in(std::size_t total);
    void pull_line();  // a caller's read of the line, under the device mutex
    void receive(const BYTE* data, std::size_t size);
    void service_read(clock::time_point now);
    void take_from_queue(BYTE* out, std::size_t size);
    void continue_write(clock::time_point now);
    void wrote_bytes();
    void check_tx_empty(clock::time_point now);
    void check_modem();
    void check_deadlines(clock::time_point now);
    std::optional<clock::time_point> next_deadline() const;
    bool flow_control() const;
    void update_modem_watch();

    std::string path_;  // as opened: the device that may come back
    std::unique_ptr<serial_line> line_;
    bool line_open_ = false;                // line_ holds the device; false once let go
    std::unique_ptr<arrival_watch> watch_;  // driver thread only, while gone
    bool reopen_now_ = false;               // driver thread: try once before waiting
    std::mutex line_read_mutex_;  // taken after mutex_ only with try_lock
    std::vector<BYTE> staging_;   // bytes as read from the line, under line_read_mutex_
    std::vector<BYTE> decoded_;   // and as decoded, where the line marks errors
    int wake_fd_ = -1;
    std::thread thread_;
    std::atomic<bool> modem_changed_{false};

    mutable std::mutex mutex_;
    std::condition_variable done_cv_;  // any completion, for waits without an event
    bool closed_ = false;
    bool stop_ = false;
    bool gone_ = false;

    DCB dcb_{};
    line_settings requested_;
    COMMTIMEOUTS timeouts_ = initial_timeouts();
    DWORD mask_ = 0;
    DWORD events_ = 0;  // events that occurred while no wait was pending, masked
    DWORD errors_ = 0;  // CE_* since the last ClearCommError
    bool abort_latched_ = false;

    byte_ring rx_{receive_queue_size};
    receive_filter filter_;
    bool throttled_ = false;
    bool have_counters_ = false;
    line_counters counters_;

    modem_bits modem_ = 0;
    bool dtr_ = true;
    bool rts_ = true;
    bool break_ = false;
    bool tx_suspended_ = false;
    bool modem_watching_ = false;

    bool tx_active_ = false;  // bytes handed to the line since the last EV_TXEMPTY
    std::optional<clock::time_point> tx_check_at_;
    bool write_blocked_ = false;  // the line took no more bytes: wait for POLLOUT

    std::deque<read_op> reads_;    // in issue order; the front one is being served
    std::deque<write_op> writes_;
    std::optional<wait_op> wait_;
};

}  // namespace platform
