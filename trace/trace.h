// The trace call every class writes to, and the record it hands to the debug window.
//
// Trace(category, level, format, ...) is printf-style. It is a template so that every
// argument keeps its type on the way to the formatter: a pointer or handle printed with
// "%#x" shows its whole address, a 32-bit HRESULT shows 8 digits, and no call site needs
// a cast. The conversions used are %i %d %u %x %X %lu %c %s with flags, width and
// precision; each takes the next argument whatever its C type.
//
// A message that the filter rejects costs one bit test and one comparison: no
// formatting, no allocation.
#pragma once

#include "platform/base/types.h"
#include "platform/ui/message.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

// Process-wide filter and sink; each a single 32-bit (or pointer) word, read by every
// thread without a lock and written only by the debug window's thread.
extern std::atomic<DWORD> atlTraceLevel;
extern std::atomic<DWORD> atlTraceCat;
extern std::atomic<HWND> g_hDebugWnd;

// The window message that carries a CTraceMessage: lParam is the record's address.
#define WM_DEBUG_MESSAGE (WM_APP + 1)

// Categories.
#define TRACE_CAT_TETHRA 0x01U
#define TRACE_CAT_INTERFACE 0x02U
#define TRACE_CAT_SERIALPORT 0x04U
#define TRACE_CAT_QUEUES 0x08U
#define TRACE_CAT_CLASSFACTORY 0x40U
#define TRACE_CAT_WINDOW 0x400U

// One passing message, owned by the receiving window once the post has succeeded.
class CTraceMessage {
public:
    CTraceMessage(char* pszTime, char* pszText) : m_pszTime(pszTime), m_pszText(pszText) {}
    ~CTraceMessage();
    CTraceMessage(const CTraceMessage&) = delete;
    CTraceMessage& operator=(const CTraceMessage&) = delete;

    char* m_pszTime;  // tick count, zero-padded to at least 8 digits
    char* m_pszText;  // the message without its trailing newline, at most 511 characters
};

namespace trace_detail {

// One argument of a trace message, as the formatter sees it.
struct Arg {
    std::uint64_t bits = 0;       // the value, sign-extended for signed types
    unsigned width = 0;           // 32 or 64: how many bits %x and %u print
    bool is_signed = false;
    const char* text = nullptr;   // for %s
};

template <class T>
Arg make_arg(T value)
{
    Arg arg;
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        arg.bits = reinterpret_cast<std::uintptr_t>(value);
        arg.width = sizeof(void*) * 8;
        if constexpr (std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>)
            arg.text = value;
    } else if constexpr (std::is_enum_v<T>) {
        return make_arg(static_cast<std::underlying_type_t<T>>(value));
    } else {
        static_assert(std::is_integral_v<T>, "trace arguments are integers, pointers or strings");
        arg.is_signed = std::is_signed_v<T>;
        arg.width = sizeof(T) > 4 ? 64 : 32;
        arg.bits = arg.is_signed ? static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                                 : static_cast<std::uint64_t>(value);
    }
    return arg;
}

// Formats the message, stamps it and posts it to g_hDebugWnd (steps 2 to 7 of the trace
// algorithm); drops it when there is no window or memory.
void deliver(const char* format, const Arg* args, std::size_t count);

// Formats into out (always terminated, at most size - 1 characters). Exposed for tests.
void format_message(char* out, std::size_t size, const char* format, const Arg* args,
                    std::size_t count);

}  // namespace trace_detail

template <class... Args>
inline void Trace(DWORD category, DWORD level, const char* format, Args... args)
{
    if ((category & atlTraceCat.load(std::memory_order_relaxed)) == 0 ||
        level > atlTraceLevel.load(std::memory_order_relaxed))
        return;
    const trace_detail::Arg list[] = {trace_detail::make_arg(args)..., trace_detail::Arg{}};
    trace_detail::deliver(format, list, sizeof...(Args));
}

// The same delivery without the filter.
template <class... Args>
inline void TraceAlways(const char* format, Args... args)
{
    const trace_detail::Arg list[] = {trace_detail::make_arg(args)..., trace_detail::Arg{}};
    trace_detail::deliver(format, list, sizeof...(Args));
}
