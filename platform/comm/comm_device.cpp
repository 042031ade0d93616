#include "platform/comm/comm_device.h"

#include "platform/comm/comm_errors.h"
#include "platform/comm/dcb_map.h"
#include "platform/comm/port_name.h"
#include "platform/comm/sim_line.h"
#include "platform/comm/tty_line.h"
#include "platform/sync/sync.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr DWORD modem_events = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD max_tx_check_ms = 100;

std::atomic_ref<ULONG_PTR> status_of(LPOVERLAPPED ov)
{
    return std::atomic_ref<ULONG_PTR>(ov->Internal);
}

std::atomic_ref<ULONG_PTR> count_of(LPOVERLAPPED ov)
{
    return std::atomic_ref<ULONG_PTR>(ov->InternalHigh);
}

std::chrono::milliseconds ms(ULONGLONG n)
{
    return std::chrono::milliseconds(static_cast<std::int64_t>(n));
}

using clock = comm_device::clock;

// start + n ms, saturating at the clock's end. A total time-out reaches
// MAXDWORD * MAXDWORD + MAXDWORD ms, far more than a time point holds; any time-out
// past the clock's end never expires.
clock::time_point deadline_after(clock::time_point start, ULONGLONG n)
{
    auto room = std::chrono::duration_cast<std::chrono::milliseconds>(clock::time_point::max() -
                                                                      start).count();
    if (n >= static_cast<ULONGLONG>(room))
        return clock::time_point::max();
    return start + ms(n);
}

// The total time-out of a transfer of size bytes, in ms; 0 when neither part is set.
// Both parts are at most MAXDWORD, so the sum fits in 64 bits.
ULONGLONG total_timeout(DWORD multiplier, DWORD size, DWORD constant)
{
    return static_cast<ULONGLONG>(multiplier) * size + constant;
}

}  // namespace

serial_line::~serial_line() = default;

// ---- receive queue ---------------------------------------------------------------

byte_ring::byte_ring(std::size_t capacity) : data_(new BYTE[capacity]), capacity_(capacity) {}

void byte_ring::push(const BYTE* data, std::size_t size)
{
    std::size_t tail = (head_ + count_) % capacity_;
    std::size_t first = std::min(size, capacity_ - tail);
    std::memcpy(data_.get() + tail, data, first);
    std::memcpy(data_.get(), data + first, size - first);
    count_ += size;
}

std::size_t byte_ring::pop(BYTE* out, std::size_t size)
{
    size = std::min(size, count_);
    std::size_t first = std::min(size, capacity_ - head_);
    std::memcpy(out, data_.get() + head_, first);
    std::memcpy(out + first, data_.get(), size - first);
    head_ = (head_ + size) % capacity_;
    count_ -= size;
    if (count_ == 0)
        head_ = 0;
    return size;
}

// ---- open and close ----------------------------------------------------------------

comm_device::comm_device() = default;

int comm_device::open_line(const std::string& path, std::unique_ptr<serial_line>& line)
{
    if (path.rfind(sim_uart_prefix, 0) == 0)
        return open_sim_line(path.substr(std::strlen(sim_uart_prefix)), line);
    std::unique_ptr<tty_line> tty;
    int error = tty_line::open(path, tty);
    line = std::move(tty);
    return error;
}

DWORD comm_device::open(const std::string& path, std::shared_ptr<comm_device>& device)
{
    try {
        std::unique_ptr<serial_line> line;
        if (int error = open_line(path, line); error != 0)
            return error == ENOTDIR ? ERROR_FILE_NOT_FOUND : comm_error_from_errno(error);
        auto result = std::make_shared<comm_device>();
        result->path_ = path;
        if (DWORD status = result->start(std::move(line)); status != ERROR_SUCCESS)
            return status;
        device = std::move(result);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

DWORD comm_device::start(std::unique_ptr<serial_line> line)
{
    line_ = std::move(line);
    line_open_ = true;
    line_settings device;
    if (int error = line_->current(device); error != 0) {
        line_->close();
        return comm_error_from_errno(error);
    }
    dcb_ = dcb_from_line(device);
    requested_ = device;
    line_->get_modem(modem_);
    have_counters_ = line_->get_counters(counters_);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        line_->close();
        return comm_error_from_errno(errno);
    }
    try {
        staging_.resize(receive_queue_size);
        if (line_->marks_errors())
            decoded_.resize(receive_queue_size);
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        line_->close();
        ::close(wake_fd_);
        wake_fd_ = -1;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

// Closing cancels every pending operation (ERROR_OPERATION_ABORTED), ends the driver
// thread and closes the device, so the port can be opened again at once.
void comm_device::on_last_handle_closed()
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        stop_ = true;
        abort_all(ERROR_OPERATION_ABORTED);
        kick();
    }
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    if (line_)
        line_->close();
    if (wake_fd_ >= 0)
        ::close(wake_fd_);
    wake_fd_ = -1;
}

comm_device::~comm_device()
{
    on_last_handle_closed();
}

void comm_device::kick()
{
    if (wake_fd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

BOOL comm_device::fail(DWORD error) const
{
    SetLastError(error);
    return FALSE;
}

// The reads and writes, and every call on the device itself, fail while it is gone;
// the handle's own state (mask, waits, the receive queue) stays usable.
DWORD comm_device::usable() const
{
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (gone_)
        return ERROR_DEVICE_NOT_CONNECTED;
    return ERROR_SUCCESS;
}

// ---- completion ----------------------------------------------------------------------

// Internal holds STATUS_PENDING while an operation runs, then the error code it ended
// with (0 for success); InternalHigh the bytes moved. Both are written with atomic
// stores under the device mutex, and GetOverlappedResult reads them under the same
// mutex, so a completion is seen whole, with its event already set.
void comm_device::begin(LPOVERLAPPED ov)
{
    count_of(ov).store(0, std::memory_order_relaxed);
    status_of(ov).store(STATUS_PENDING, std::memory_order_release);
    if (ov->hEvent)
        ResetEvent(ov->hEvent);
}

void comm_device::complete(LPOVERLAPPED ov, DWORD error, DWORD bytes)
{
    HANDLE event = ov->hEvent;
    count_of(ov).store(bytes, std::memory_order_relaxed);
    status_of(ov).store(error, std::memory_order_release);
    if (event)
        SetEvent(event);
    done_cv_.notify_all();
}

BOOL comm_device::get_overlapped_result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    if (ov == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    lock_t lock(mutex_);
    bool waited_for_event = false;
    for (;;) {
        ULONG_PTR status = status_of(ov).load(std::memory_order_acquire);
        if (status != STATUS_PENDING) {
            if (transferred)
                *transferred = static_cast<DWORD>(count_of(ov).load(std::memory_order_relaxed));
            if (status == 0)
                return TRUE;
            return fail(static_cast<DWORD>(status));
        }
        if (!wait)
            return fail(ERROR_IO_INCOMPLETE);
        // Wait on the event first, as documented; should it have been set by someone
        // else while the operation still runs, wait for the completion itself.
        if (ov->hEvent && !waited_for_event) {
            HANDLE event = ov->hEvent;
            lock.unlock();
            WaitForSingleObject(event, INFINITE);
            lock.lock();
            waited_for_event = true;
            continue;
        }
        done_cv_.wait(lock);
    }
}

// Without an OVERLAPPED block an operation runs synchronously: it is started on a block
// of the caller's own and waited for here.
BOOL comm_device::finish_sync(LPOVERLAPPED ov, LPDWORD transferred, lock_t& lock)
{
    done_cv_.wait(lock, [&] { return status_of(ov).load() != STATUS_PENDING; });
    DWORD status = static_cast<DWORD>(status_of(ov).load());
    if (transferred)
        *transferred = static_cast<DWORD>(count_of(ov).load());
    return status == 0 ? TRUE : fail(status);
}

void comm_device::abort_transfers(DWORD error)
{
    for (const read_op& r : reads_)
        complete(r.ov, error, r.done);
    reads_.clear();
    for (const write_op& w : writes_)
        complete(w.ov, error, w.done);
    writes_.clear();
    write_blocked_ = false;
}

void comm_device::abort_all(DWORD error)
{
    abort_transfers(error);
    if (wait_) {
        complete(wait_->ov, error, 0);
        wait_.reset();
    }
}

// CancelIo ends every pending operation of the handle, whichever thread started it,
// with ERROR_OPERATION_ABORTED, and returns only after the driver has let go of their
// OVERLAPPED blocks and buffers: the caller may free them as soon as it returns.
BOOL comm_device::cancel_io()
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return fail(ERROR_INVALID_HANDLE);
    abort_all(ERROR_OPERATION_ABORTED);
    return TRUE;
}

// CancelIoEx of one operation. A read or write at the head of its queue hands the line
// to the next one at once (its time-outs start now); one further back just leaves.
BOOL comm_device::cancel_one(LPOVERLAPPED ov)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return fail(ERROR_INVALID_HANDLE);
    if (wait_ && wait_->ov == ov) {
        complete(ov, ERROR_OPERATION_ABORTED, 0);
        wait_.reset();
        return TRUE;
    }
    auto cancel_in = [&](auto& queue, auto move_up) {
        auto it = std::find_if(queue.begin(), queue.end(),
                               [ov](const transfer_op& op) { return op.ov == ov; });
        if (it == queue.end())
            return false;
        const bool head = it == queue.begin();
        complete(ov, ERROR_OPERATION_ABORTED, it->done);
        queue.erase(it);
        if (head) {
            move_up(clock::now());
            kick();  // the driver thread waits for what the new head needs
        }
        return true;
    };
    if (cancel_in(reads_, [this](clock::time_point now) { service_read(now); }) ||
        cancel_in(writes_, [this](clock::time_point now) {
            write_blocked_ = false;
            continue_write(now);
        }))
        return TRUE;
    return fail(ERROR_NOT_FOUND);
}

// A device that vanishes (EIO, hang-up) ends every pending read and write with
// ERROR_DEVICE_NOT_CONNECTED, except that a read holding bytes completes with them, and
// reports EV_EVENT1; a wait whose mask lacks EV_EVENT1 ends with the error instead. The
// driver thread then lets the device go and waits for it to come back (let_go).
void comm_device::device_gone()
{
    if (gone_)
        return;
    gone_ = true;
    if (!reads_.empty() && reads_.front().done > 0) {
        complete(reads_.front().ov, ERROR_SUCCESS, reads_.front().done);
        reads_.pop_front();
    }
    abort_transfers(ERROR_DEVICE_NOT_CONNECTED);
    throttled_ = false;
    tx_active_ = false;
    tx_check_at_.reset();
    if (mask_ & EV_EVENT1) {
        raise(EV_EVENT1);
    } else if (wait_) {
        complete(wait_->ov, ERROR_DEVICE_NOT_CONNECTED, 0);
        wait_.reset();
    }
    kick();
}

// Closes the vanished device (its descriptor, locks and modem watch go with it, so the
// kernel can give the name to the device when it returns) and starts watching for it.
// Without a watch (a pseudo-terminal by its number, no inotify instance left) the device
// does not come back to this handle, and nothing is opened in its place.
void comm_device::let_go()
{
    line_->close();
    line_open_ = false;
    modem_watching_ = false;
    watch_.reset();
    // It may have come back before the watch was armed.
    reopen_now_ = watch_for_arrival(path_, watch_) == 0;
}

void comm_device::try_reopen(lock_t& lock)
{
    if (watch_)
        watch_->changed();
    std::unique_ptr<serial_line> fresh;
    if (open_line(path_, fresh) != 0)
        return;
    std::lock_guard reading(line_read_mutex_);
    lock.lock();
    bool installed = false;
    if (!stop_ && gone_) {
        try {
            if (fresh->marks_errors() && decoded_.size() < receive_queue_size)
                decoded_.resize(receive_queue_size);
            installed = fresh->apply(requested_) == 0;
        } catch (...) {
        }
    }
    if (!installed) {
        fresh->close();
        lock.unlock();
        return;
    }
    line_ = std::move(fresh);
    line_open_ = true;
    if (line_->has_modem_lines()) {
        line_->set_dtr(dtr_);
        line_->set_rts(rts_);
    }
    if (break_)
        line_->set_break(true);
    if (tx_suspended_)
        line_->suspend_output(true);
    line_->get_modem(modem_);
    have_counters_ = line_->get_counters(counters_);
    filter_.reset();
    gone_ = false;
    watch_.reset();
    update_modem_watch();
    raise(EV_EVENT2);
    lock.unlock();
}

void comm_device::raise(DWORD events)
{
    events &= mask_;
    if (events == 0)
        return;
    if (wait_) {
        *wait_->mask = events | events_;
        events_ = 0;
        complete(wait_->ov, ERROR_SUCCESS, sizeof(DWORD));
        wait_.reset();
    } else {
        events_ |= events;
    }
}

// ---- the driver thread -----------------------------------------------------------------

void comm_device::run()
{
    lock_t lock(mutex_);
    while (!stop_) {
        if (gone_ && line_open_)
            let_go();
        if (reopen_now_) {
            reopen_now_ = false;
            lock.unlock();
            try_reopen(lock);
            lock.lock();
            continue;
        }
        bool want_read = can_pull();
        bool want_write = !gone_ && !writes_.empty() && write_blocked_;
        serial_line::wait_spec request;
        if (!gone_)
            request = line_->wait_for(want_read, want_write);
        // While the device is gone the line's place is taken by the arrival watch.
        const bool watching = gone_ && watch_;
        if (watching)
            request = {watch_->fd(), POLLIN};
        std::optional<clock::time_point> deadline = next_deadline();
        lock.unlock();

        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {request.fd, request.events, 0}};
        nfds_t count = request.fd >= 0 ? 2 : 1;
        timespec timeout{};
        timespec* timeout_ptr = nullptr;
        if (deadline) {
            auto left = std::max(*deadline - clock::now(), clock::duration::zero());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout_ptr = &timeout;
        }
        int ready = ::ppoll(fds, count, timeout_ptr, nullptr);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            std::uint64_t value = 0;
            [[maybe_unused]] ssize_t n = ::read(wake_fd_, &value, sizeof value);
        }
        short line_events = count == 2 && ready > 0 ? fds[1].revents : 0;
        if (watching) {
            if (line_events)
                try_reopen(lock);
            lock.lock();
            continue;
        }
        bool hung_up = (line_events & (POLLHUP | POLLERR | POLLNVAL)) != 0;

        // Reading takes only the line's read lock, so callers are not held up meanwhile.
        // A caller's ReadFile may have taken the bytes first (-EAGAIN then).
        std::unique_lock reading(line_read_mutex_, std::defer_lock);
        ssize_t got = 0;
        if (want_read && line_events) {
            reading.lock();
            // The queue's room as it is now: with the read lock held only pops change it.
            lock.lock();
            std::size_t room = can_pull() ? rx_.free() : 0;
            lock.unlock();
            got = room > 0 ? read_line(room) : -EAGAIN;
        }
        lock.lock();
        if (stop_)
            break;
        if (got > 0)
            take_in(static_cast<std::size_t>(got));
        if (reading.owns_lock())
            reading.unlock();
        if (want_read && line_events && got <= 0 && got != -EAGAIN && got != -EINTR) {
            device_gone();  // end of file or a read error: the device has gone
        } else if (hung_up && got <= 0) {
            device_gone();
        }
        auto now = clock::now();
        if (want_write && line_events && !gone_) {
            write_blocked_ = false;
            continue_write(now);
        }
        if (modem_changed_.exchange(false) && !gone_)
            check_modem();
        check_deadlines(now);
    }
}

bool comm_device::can_pull() const
{
    return !gone_ && !throttled_ && rx_.free() > 0;
}

// The line is read in the driver thread when it is readable and in a caller's ReadFile
// that the receive queue cannot satisfy, so that a reader finding bytes waiting in the
// line takes them without a round trip through the driver thread. Whoever reads holds
// the line's read lock from the read until the bytes are in the queue, so they reach
// readers in the order the line delivered them. The driver thread reads without the
// device mutex and takes it afterwards; a caller, which holds the device mutex already,
// only tries the read lock and leaves the line to the driver thread when it is taken.

// Reads what the line holds, up to room bytes, into the staging buffer: the bytes read,
// or the line's negative errno (-EAGAIN: nothing there), or 0 at end of file.
ssize_t comm_device::read_line(std::size_t room)
{
    BYTE* staging = staging_.data();
    const std::size_t limit = std::min(room, staging_.size());
    std::size_t total = 0;
    ssize_t last = 0;
    while (total < limit) {
        last = line_->read(staging + total, limit - total);
        if (last <= 0)
            break;
        total += static_cast<std::size_t>(last);
    }
    return total > 0 ? static_cast<ssize_t>(total) : last;
}

// Passes the total bytes read into the staging buffer through the receive path into
// the queue. Under the device mutex and the read lock.
void comm_device::take_in(std::size_t total)
{
    BYTE* staging = staging_.data();
    line_counters delta;
    line_counters counters;
    bool counted = have_counters_ && line_->get_counters(counters);
    if (counted) {
        delta.frame = counters.frame - counters_.frame;
        delta.parity = counters.parity - counters_.parity;
        delta.overrun = counters.overrun - counters_.overrun;
        delta.brk = counters.brk - counters_.brk;
        delta.buf_overrun = counters.buf_overrun - counters_.buf_overrun;
        counters_ = counters;
    }
    receive_options options;
    options.marked = line_->marks_errors();
    options.discard_nul = dcb_.fNull;
    options.replace_errors = dcb_.fErrorChar;
    options.error_char = static_cast<BYTE>(dcb_.ErrorChar);
    options.report_parity = dcb_.fParity;
    options.parity_on = dcb_.Parity != NOPARITY;
    options.want_event_char = (mask_ & EV_RXFLAG) != 0;
    options.event_char = static_cast<BYTE>(dcb_.EvtChar);
    receive_result result;
    // Unmarked input decodes in place; marked input can grow across a read boundary.
    BYTE* decoded = options.marked ? decoded_.data() : staging;
    std::size_t placed =
        filter_.decode(staging, total, options, delta, counted, decoded, result);
    // fAbortOnError: a line error ends the pending reads and writes with
    // ERROR_OPERATION_ABORTED (the bytes stay in the queue) and refuses reads and
    // writes until ClearCommError.
    if (result.errors) {
        errors_ |= result.errors;
        if (dcb_.fAbortOnError) {
            abort_latched_ = true;
            abort_transfers(ERROR_OPERATION_ABORTED);
        }
    }
    receive(decoded, placed);
    raise(result.events);
}

void comm_device::pull_line()
{
    std::unique_lock reading(line_read_mutex_, std::try_to_lock);
    if (!reading.owns_lock())
        return;  // the driver thread is reading: it delivers
    ssize_t got = read_line(rx_.free());
    if (got > 0)
        take_in(static_cast<std::size_t>(got));
}

std::optional<comm_device::clock::time_point> comm_device::next_deadline() const
{
    std::optional<clock::time_point> next;
    auto consider = [&](clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    // Only the operation at the head of each queue has started its time-outs.
    if (!reads_.empty()) {
        const read_op& r = reads_.front();
        if (r.total)
            consider(*r.total);
        if (r.interval && r.done > 0)
            consider(r.last_byte + ms(r.interval));
    }
    if (!writes_.empty() && writes_.front().total)
        consider(*writes_.front().total);
    if (tx_check_at_)
        consider(*tx_check_at_);
    return next;
}

void comm_device::check_deadlines(clock::time_point now)
{
    // A read or write whose time-out has passed completes successfully with the bytes
    // moved so far, as COMMTIMEOUTS documents; the next one in its queue starts.
    if (!reads_.empty()) {
        const read_op& r = reads_.front();
        bool expired = (r.total && now >= *r.total) ||
                       (r.interval && r.done > 0 && now >= r.last_byte + ms(r.interval));
        if (expired) {
            complete(r.ov, ERROR_SUCCESS, r.done);
            reads_.pop_front();
            service_read(now);
        }
    }
    if (!writes_.empty() && writes_.front().total && now >= *writes_.front().total) {
        complete(writes_.front().ov, ERROR_SUCCESS, writes_.front().done);
        writes_.pop_front();
        write_blocked_ = false;
        continue_write(now);
    }
    if (tx_check_at_ && now >= *tx_check_at_)
        check_tx_empty(now);
}

// ---- receiving -------------------------------------------------------------------------

bool comm_device::flow_control() const
{
    return dcb_.fInX || dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE ||
           dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE;
}

void comm_device::receive(const BYTE* data, std::size_t size)
{
    // fDsrSensitivity drops what arrives while DSR is low; on a line without modem
    // lines (a pseudo-terminal) it is kept but not applied, or it would drop everything.
    if (size == 0)
        return;
    if (dcb_.fDsrSensitivity && line_->has_modem_lines()) {
        modem_bits lines = 0;
        if (line_->get_modem(lines) == 0 && !(lines & MS_DSR_ON))
            return;
    }
    rx_.push(data, size);
    // With flow control on, stop taking bytes from the device once fewer than XoffLim
    // bytes of room are left, so that the kernel's X-off or RTS takes effect; resume
    // when the queue has drained to XonLim bytes.
    if (flow_control() && rx_.free() < dcb_.XoffLim)
        throttled_ = true;
    service_read(clock::now());
}

void comm_device::take_from_queue(BYTE* out, std::size_t size)
{
    bool was_stopped = throttled_ || rx_.free() == 0;
    rx_.pop(out, size);
    if (throttled_ && (!flow_control() || rx_.size() <= dcb_.XonLim))
        throttled_ = false;
    if (was_stopped && !throttled_)
        kick();
}

void comm_device::transfer_op::start(clock::time_point now)
{
    if (started)
        return;
    started = true;
    if (total_ms)
        total = deadline_after(now, total_ms);
}

// Feeds the reads in issue order: the head takes what the queue holds and, once met,
// completes and hands the rest to the next. A read's time-outs start when it reaches
// the head.
void comm_device::service_read(clock::time_point now)
{
    while (!reads_.empty()) {
        read_op& r = reads_.front();
        r.start(now);
        std::size_t take = std::min<std::size_t>(r.size - r.done, rx_.size());
        if (take > 0) {
            take_from_queue(r.buffer + r.done, take);
            r.done += static_cast<DWORD>(take);
            r.last_byte = now;
        }
        if (!r.met(r.done))
            return;
        complete(r.ov, ERROR_SUCCESS, r.done);
        reads_.pop_front();
    }
}

// ReadFile takes what the receive queue holds at once and completes immediately when
// the request is met: the full count, or, with ReadIntervalTimeout MAXDWORD, whatever is
// there (both total time-outs 0: even nothing). Otherwise it pends until the count is
// met or a time-out passes: the total time-out (multiplier * count + constant, when
// either is set, saturating far in the future) from the start, the interval time-out
// from the last byte once a first byte has arrived. MAXDWORD/MAXDWORD/c waits up to c
// for a first byte and returns it at once; ReadIntervalTimeout MAXDWORD with other
// totals likewise returns with the first bytes, within the total. All zero waits for
// the full count. A read issued while others pend queues behind them and starts, with
// the time-outs in force when it was issued, when they have completed.
BOOL comm_device::read_file(LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED ov)
{
    if (read)
        *read = 0;
    lock_t lock(mutex_);
    if (DWORD error = transfer_allowed(buffer, size); error != ERROR_SUCCESS) {
        // Bytes received before the device vanished are still delivered.
        if (error != ERROR_DEVICE_NOT_CONNECTED || rx_.size() == 0 || !reads_.empty())
            return fail(error);
        OVERLAPPED own{};
        LPOVERLAPPED target = ov ? ov : &own;
        begin(target);
        DWORD take = static_cast<DWORD>(std::min<std::size_t>(size, rx_.size()));
        take_from_queue(static_cast<BYTE*>(buffer), take);
        complete(target, ERROR_SUCCESS, take);
        if (read)
            *read = take;
        return TRUE;
    }
    OVERLAPPED own{};
    LPOVERLAPPED target = ov ? ov : &own;
    begin(target);

    const COMMTIMEOUTS& t = timeouts_;
    read_op op{};
    op.ov = target;
    op.buffer = static_cast<BYTE*>(buffer);
    op.size = size;
    op.return_now = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                    t.ReadTotalTimeoutConstant == 0;
    op.first_byte_ends = t.ReadIntervalTimeout == MAXDWORD && !op.return_now;
    if (reads_.empty()) {
        std::size_t take = std::min<std::size_t>(size, rx_.size());
        if (!op.met(take) && can_pull()) {
            pull_line();  // the driver thread deals with errors and end of file
            if (abort_latched_) {
                complete(target, ERROR_OPERATION_ABORTED, 0);
                return fail(ERROR_OPERATION_ABORTED);
            }
            take = std::min<std::size_t>(size, rx_.size());
        }
        if (op.met(take)) {
            take_from_queue(op.buffer, take);
            complete(target, ERROR_SUCCESS, static_cast<DWORD>(take));
            if (read)
                *read = static_cast<DWORD>(take);
            return TRUE;
        }
    }
    DWORD multiplier = t.ReadTotalTimeoutMultiplier;
    if (op.first_byte_ends && multiplier == MAXDWORD)
        multiplier = 0;
    op.total_ms = total_timeout(multiplier, size, t.ReadTotalTimeoutConstant);
    if (!op.first_byte_ends)
        op.interval = t.ReadIntervalTimeout;
    reads_.push_back(op);
    if (reads_.size() == 1) {
        service_read(clock::now());
        // The driver thread must wait for the new read's deadline too.
        if (!reads_.empty() && (reads_.front().total || reads_.front().interval))
            kick();
    }
    if (ov == nullptr)
        return finish_sync(&own, read, lock);
    return fail(ERROR_IO_PENDING);
}

DWORD comm_device::transfer_allowed(LPCVOID buffer, DWORD size) const
{
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return error;
    if (buffer == nullptr && size > 0)
        return ERROR_NOACCESS;
    if (abort_latched_)
        return ERROR_OPERATION_ABORTED;
    return ERROR_SUCCESS;
}

// ---- writing ---------------------------------------------------------------------------

// WriteFile hands the bytes to the line at once where it takes them all (completing
// immediately); the rest is written by the driver thread as the line takes it. Writes
// issued while others pend queue behind them and go out whole, one after the other, in
// the order issued. The total write time-out (multiplier * count + constant, when
// either is set, saturating far in the future) counts from when the write starts on
// the line, that is when the writes before it have completed, not from when it was
// issued, so a write queued behind a slow one is not timed out before it had the line;
// it completes the write successfully with the bytes written so far. A write is
// complete when the device has taken every byte, not when the last has left the wire
// (EV_TXEMPTY).
BOOL comm_device::write_file(LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED ov)
{
    if (written)
        *written = 0;
    lock_t lock(mutex_);
    if (DWORD error = transfer_allowed(buffer, size); error != ERROR_SUCCESS)
        return fail(error);
    OVERLAPPED own{};
    LPOVERLAPPED target = ov ? ov : &own;
    begin(target);
    write_op op{};
    op.ov = target;
    op.buffer = static_cast<const BYTE*>(buffer);
    op.size = size;
    op.total_ms = total_timeout(timeouts_.WriteTotalTimeoutMultiplier, size,
                                timeouts_.WriteTotalTimeoutConstant);
    writes_.push_back(op);
    if (writes_.size() == 1) {
        continue_write(clock::now());
        ULONG_PTR status = status_of(target).load();
        if (status != STATUS_PENDING) {
            if (tx_check_at_)
                kick();  // the driver thread must look at the output queue again
            if (status != ERROR_SUCCESS)
                return fail(static_cast<DWORD>(status));
            if (written)
                *written = static_cast<DWORD>(count_of(target).load());
            return TRUE;
        }
        kick();  // the driver thread takes over: it waits until the line takes more
    }
    if (ov == nullptr)
        return finish_sync(&own, written, lock);
    return fail(ERROR_IO_PENDING);
}

// Writes the queued writes in order until the line takes no more (the driver thread
// then waits for it to) or the queue is empty.
void comm_device::continue_write(clock::time_point now)
{
    while (!writes_.empty()) {
        write_op& w = writes_.front();
        w.start(now);
        while (w.done < w.size) {
            if (dcb_.fRtsControl == RTS_CONTROL_TOGGLE && !rts_) {
                if (line_->has_modem_lines())
                    line_->set_rts(true);
                rts_ = true;
            }
            ssize_t n = line_->write(w.buffer + w.done, w.size - w.done);
            if (n > 0) {
                w.done += static_cast<DWORD>(n);
                tx_active_ = true;
                continue;
            }
            if (n == -EAGAIN || n == -EINTR || n == 0) {
                write_blocked_ = true;
                return;
            }
            device_gone();
            return;
        }
        complete(w.ov, ERROR_SUCCESS, w.done);
        writes_.pop_front();
    }
    write_blocked_ = false;
    check_tx_empty(now);
}

// EV_TXEMPTY, and the end of an RTS toggle, come when the device's output queue has
// drained. Linux signals no such moment, so the driver reads the queue (TIOCOUTQ) when
// a write completes and, while bytes remain, again when they should have been sent at
// the line's speed, at least every 100 ms; only while EV_TXEMPTY is in the mask or RTS
// toggles. A pseudo-terminal's queue always reads empty.
void comm_device::check_tx_empty(clock::time_point now)
{
    tx_check_at_.reset();
    if (!tx_active_ || !writes_.empty())
        return;
    bool toggling = dcb_.fRtsControl == RTS_CONTROL_TOGGLE;
    if (!(mask_ & EV_TXEMPTY) && !toggling) {
        tx_active_ = false;
        return;
    }
    std::size_t pending = line_->output_pending();
    if (pending == 0) {
        tx_active_ = false;
        if (toggling && rts_) {
            if (line_->has_modem_lines())
                line_->set_rts(false);
            rts_ = false;
        }
        raise(EV_TXEMPTY);
        return;
    }
    ULONGLONG bits = 2ULL + dcb_.ByteSize + (dcb_.Parity != NOPARITY ? 1 : 0);
    ULONGLONG wait_ms = pending * bits * 1000 / std::max<DWORD>(dcb_.BaudRate, 1) + 1;
    tx_check_at_ = now + ms(std::min<ULONGLONG>(wait_ms, max_tx_check_ms));
}

// ---- comm events -------------------------------------------------------------------------

// One wait at a time. Events that occurred (and were in the mask) while no wait was
// pending complete the next wait at once. A mask of 0 cannot be waited on.
BOOL comm_device::wait_comm_event(LPDWORD mask, LPOVERLAPPED ov)
{
    lock_t lock(mutex_);
    if (closed_)
        return fail(ERROR_INVALID_HANDLE);
    if (mask == nullptr)
        return fail(ERROR_NOACCESS);
    if (wait_ || mask_ == 0)
        return fail(ERROR_INVALID_PARAMETER);
    OVERLAPPED own{};
    LPOVERLAPPED target = ov ? ov : &own;
    begin(target);
    if (events_ & mask_) {
        *mask = events_ & mask_;
        events_ = 0;
        complete(target, ERROR_SUCCESS, sizeof(DWORD));
        return TRUE;
    }
    *mask = 0;
    wait_ = wait_op{target, mask};
    if (ov == nullptr)
        return finish_sync(&own, nullptr, lock);
    return fail(ERROR_IO_PENDING);
}

BOOL comm_device::get_mask(DWORD& mask)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return fail(ERROR_INVALID_HANDLE);
    mask = mask_;
    return TRUE;
}

// A new mask completes a pending wait successfully with an empty event mask and keeps
// only the remembered events that it still selects. Switching EV_RXCHAR on while the
// receive queue holds bytes records EV_RXCHAR, so no received byte sits unannounced.
BOOL comm_device::set_mask(DWORD mask)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return fail(ERROR_INVALID_HANDLE);
    constexpr DWORD known = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                            EV_BREAK | EV_ERR | EV_RING | EV_EVENT1 | EV_EVENT2;
    if (mask & ~known)
        return fail(ERROR_INVALID_PARAMETER);
    bool rxchar_added = (mask & EV_RXCHAR) && !(mask_ & EV_RXCHAR);
    mask_ = mask;
    events_ &= mask;
    if (rxchar_added && rx_.size() > 0)
        events_ |= EV_RXCHAR;
    if (wait_) {
        *wait_->mask = 0;
        complete(wait_->ov, ERROR_SUCCESS, sizeof(DWORD));
        wait_.reset();
    }
    update_modem_watch();
    return TRUE;
}

void comm_device::update_modem_watch()
{
    bool want = !gone_ && (mask_ & modem_events) != 0 && line_->has_modem_lines();
    if (want == modem_watching_)
        return;
    modem_watching_ = want;
    if (want)
        line_->get_modem(modem_);  // changes count from now on
    line_->watch_modem(want, [this] {
        modem_changed_.store(true);
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    });
}

void comm_device::check_modem()
{
    modem_bits now = 0;
    if (line_->get_modem(now) != 0)
        return;
    modem_bits changed = now ^ modem_;
    modem_ = now;
    DWORD events = 0;
    if (changed & MS_CTS_ON)
        events |= EV_CTS;
    if (changed & MS_DSR_ON)
        events |= EV_DSR;
    if (changed & MS_RLSD_ON)
        events |= EV_RLSD;
    if (changed & MS_RING_ON)
        events |= EV_RING;
    raise(events);
}

// ---- settings ------------------------------------------------------------------------------

BOOL comm_device::get_state(DCB& dcb)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    line_settings device;
    if (int error = line_->current(device); error != 0)
        return fail(comm_error_from_errno(error));
    dcb = dcb_;
    overlay_line(dcb, device, requested_);
    return TRUE;
}

// A DCB no device can take fails with ERROR_INVALID_PARAMETER and changes nothing.
// DTR and RTS follow their control modes: DISABLE lowers the line and ENABLE raises it
// on every call, whatever the line was set to since; HANDSHAKE raises it (DTR handshake
// has no Linux counterpart; RTS handshake is the kernel's CRTSCTS) and TOGGLE lowers RTS
// until there is output, both when the mode changes.
BOOL comm_device::set_state(const DCB& dcb)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    if (DWORD error = validate_dcb(dcb); error != ERROR_SUCCESS)
        return fail(error);
    line_settings want = line_settings_from_dcb(dcb);
    if (int error = line_->apply(want); error != 0)
        return fail(comm_error_from_errno(error));
    DCB old = dcb_;
    dcb_ = dcb;
    dcb_.DCBlength = sizeof(DCB);
    requested_ = want;
    bool lines = line_->has_modem_lines();
    // ENABLE and DISABLE have the same values for DTR and RTS.
    auto fixed = [](DWORD mode) {
        return mode == DTR_CONTROL_ENABLE || mode == DTR_CONTROL_DISABLE;
    };
    if (old.fDtrControl != dcb.fDtrControl || fixed(dcb.fDtrControl)) {
        dtr_ = dcb.fDtrControl != DTR_CONTROL_DISABLE;
        if (lines)
            line_->set_dtr(dtr_);
    }
    if (old.fRtsControl != dcb.fRtsControl || fixed(dcb.fRtsControl)) {
        rts_ = dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        if (lines)
            line_->set_rts(rts_);
    }
    if (old.fNull != dcb.fNull || old.fErrorChar != dcb.fErrorChar)
        filter_.reset();
    if (throttled_ && !flow_control()) {
        throttled_ = false;
        kick();
    }
    return TRUE;
}

BOOL comm_device::get_timeouts(COMMTIMEOUTS& timeouts)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    timeouts = timeouts_;
    return TRUE;
}

// New time-outs apply to the reads and writes issued after the call. All three read
// time-outs MAXDWORD is refused (ERROR_INVALID_PARAMETER), as the original driver does.
BOOL comm_device::set_timeouts(const COMMTIMEOUTS& timeouts)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    if (timeouts.ReadIntervalTimeout == MAXDWORD &&
        timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts.ReadTotalTimeoutConstant == MAXDWORD)
        return fail(ERROR_INVALID_PARAMETER);
    timeouts_ = timeouts;
    return TRUE;
}

// ---- errors and lines ---------------------------------------------------------------------

BOOL comm_device::clear_error(LPDWORD errors, LPCOMSTAT stat)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    if (errors)
        *errors = errors_;
    errors_ = 0;
    abort_latched_ = false;
    if (stat) {
        *stat = COMSTAT{};
        bool output_waiting = !writes_.empty();
        stat->fCtsHold = dcb_.fOutxCtsFlow && line_->has_modem_lines() &&
                         !(modem_ & MS_CTS_ON) && output_waiting;
        stat->fXoffHold = tx_suspended_;
        stat->cbInQue = static_cast<DWORD>(rx_.size());
        std::size_t queued = line_->output_pending();
        for (const write_op& w : writes_)
            queued += w.size - w.done;
        stat->cbOutQue = static_cast<DWORD>(std::min<std::size_t>(queued, MAXDWORD));
    }
    return TRUE;
}

// A line without modem lines (a pseudo-terminal) reports them all inactive.
BOOL comm_device::get_modem_status(DWORD& status)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    modem_bits bits = 0;
    if (int error = line_->get_modem(bits); error != 0)
        return fail(comm_error_from_errno(error));
    status = bits;
    return TRUE;
}

// DTR and RTS cannot be set by hand while their handshake owns them
// (ERROR_INVALID_PARAMETER). On a line without modem lines (a pseudo-terminal) DTR,
// RTS and break are kept by the driver and the calls succeed, so the system above works
// the same on a pseudo-terminal.
BOOL comm_device::escape(DWORD function)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = usable(); error != ERROR_SUCCESS)
        return fail(error);
    bool lines = line_->has_modem_lines();
    int error = 0;
    switch (function) {
    case SETDTR:
    case CLRDTR:
        if (dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE)
            return fail(ERROR_INVALID_PARAMETER);
        if (lines)
            error = line_->set_dtr(function == SETDTR);
        if (error == 0)
            dtr_ = function == SETDTR;
        break;
    case SETRTS:
    case CLRRTS:
        if (dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE)
            return fail(ERROR_INVALID_PARAMETER);
        if (lines)
            error = line_->set_rts(function == SETRTS);
        if (error == 0)
            rts_ = function == SETRTS;
        break;
    case SETBREAK:
    case CLRBREAK:
        error = line_->set_break(function == SETBREAK);
        if (!lines && (error == ENOTTY || error == EINVAL))
            error = 0;
        if (error == 0)
            break_ = function == SETBREAK;
        break;
    case SETXOFF:
    case SETXON:
        error = line_->suspend_output(function == SETXOFF);
        if (error == 0)
            tx_suspended_ = function == SETXOFF;
        break;
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (error != 0)
        return fail(comm_error_from_errno(error));
    return TRUE;
}

}  // namespace platform
