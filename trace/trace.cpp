// The trace formatter and the hand-over of trace records to the debug window.
#include "trace/trace.h"

#include "platform/sync/sync.h"
#include "platform/ui/message.h"

#include <cstring>
#include <new>

// Constant-initialised, so they read zero before any code of the process runs.
std::atomic<DWORD> atlTraceLevel{0};
std::atomic<DWORD> atlTraceCat{0};
std::atomic<HWND> g_hDebugWnd{nullptr};

// The strings are allocated with new[] by the sender (deliver below).
CTraceMessage::~CTraceMessage()
{
    delete[] m_pszTime;
    delete[] m_pszText;
}

namespace trace_detail {

namespace {

// Bounded output: keeps at most size - 1 characters and never writes past the buffer.
class Writer {
public:
    Writer(char* out, std::size_t size) : out_(out), size_(size) {}

    void put(char c)
    {
        if (size_ != 0 && used_ + 1 < size_)
            out_[used_++] = c;
    }
    void put(const char* text, std::size_t length)
    {
        for (std::size_t i = 0; i < length; ++i)
            put(text[i]);
    }
    void fill(char c, std::size_t count)
    {
        // A huge width costs no more than the room left.
        std::size_t room = size_ != 0 ? size_ - 1 - used_ : 0;
        for (std::size_t i = 0; i < count && i < room; ++i)
            put(c);
    }
    void finish()
    {
        if (size_ != 0)
            out_[used_] = '\0';
    }

private:
    char* out_;
    std::size_t size_;
    std::size_t used_ = 0;
};

struct Conversion {
    bool alternate = false;  // '#'
    bool left = false;       // '-'
    bool zero = false;       // '0'
    bool plus = false;       // '+'
    bool space = false;      // ' '
    std::size_t width = 0;
    bool has_precision = false;
    std::size_t precision = 0;
};

// The value as the argument's own width sees it: a 32-bit value prints as 32 bits
// whatever its sign, a pointer as 64.
std::uint64_t unsigned_value(const Arg& arg)
{
    return arg.width == 64 ? arg.bits : (arg.bits & 0xffffffffULL);
}

std::int64_t signed_value(const Arg& arg)
{
    if (arg.width == 64)
        return static_cast<std::int64_t>(arg.bits);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(arg.bits));
}

// Lays out sign/prefix, zero padding and digits the way printf does.
void put_number(Writer& out, const Conversion& conv, const char* prefix, const char* digits,
                std::size_t length)
{
    // A precision of 0 prints no digits for a value of 0.
    if (conv.has_precision && conv.precision == 0 && length == 1 && digits[0] == '0')
        length = 0;
    std::size_t zeros = conv.has_precision && conv.precision > length ? conv.precision - length : 0;
    std::size_t prefix_length = std::strlen(prefix);
    std::size_t body = prefix_length + zeros + length;
    std::size_t pad = conv.width > body ? conv.width - body : 0;
    // '0' pads with zeros after the prefix, unless '-' or a precision is given.
    if (conv.zero && !conv.left && !conv.has_precision) {
        zeros += pad;
        pad = 0;
    }
    if (!conv.left)
        out.fill(' ', pad);
    out.put(prefix, prefix_length);
    out.fill('0', zeros);
    out.put(digits, length);
    if (conv.left)
        out.fill(' ', pad);
}

std::size_t to_digits(std::uint64_t value, unsigned base, bool upper, char* buffer)
{
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[24];
    std::size_t n = 0;
    do {
        reversed[n++] = set[value % base];
        value /= base;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i)
        buffer[i] = reversed[n - 1 - i];
    return n;
}

void put_padded(Writer& out, const Conversion& conv, const char* text, std::size_t length)
{
    std::size_t pad = conv.width > length ? conv.width - length : 0;
    if (!conv.left)
        out.fill(' ', pad);
    out.put(text, length);
    if (conv.left)
        out.fill(' ', pad);
}

void convert(Writer& out, char conversion, const Conversion& conv, const Arg& arg)
{
    char digits[24];
    switch (conversion) {
    case 'd':
    case 'i': {
        std::int64_t value = signed_value(arg);
        std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                            : static_cast<std::uint64_t>(value);
        const char* sign = value < 0 ? "-" : conv.plus ? "+" : conv.space ? " " : "";
        put_number(out, conv, sign, digits, to_digits(magnitude, 10, false, digits));
        break;
    }
    case 'u': {
        put_number(out, conv, "", digits, to_digits(unsigned_value(arg), 10, false, digits));
        break;
    }
    case 'x':
    case 'X': {
        std::uint64_t value = unsigned_value(arg);
        // As printf: '#' adds the prefix only to a non-zero value, so "%#x" of 0 is "0".
        const char* prefix = conv.alternate && value != 0 ? (conversion == 'x' ? "0x" : "0X") : "";
        put_number(out, conv, prefix, digits,
                   to_digits(value, 16, conversion == 'X', digits));
        break;
    }
    case 'c': {
        char c = static_cast<char>(arg.bits & 0xff);
        put_padded(out, conv, &c, 1);
        break;
    }
    case 's': {
        const char* text = arg.text ? arg.text : "(null)";
        std::size_t length = 0;
        // With a precision, read no further than it allows: the text need not end.
        while ((!conv.has_precision || length < conv.precision) && text[length] != '\0')
            ++length;
        put_padded(out, conv, text, length);
        break;
    }
    default:
        break;
    }
}

}  // namespace

void format_message(char* out, std::size_t size, const char* format, const Arg* args,
                    std::size_t count)
{
    Writer writer(out, size);
    std::size_t next = 0;
    const char* p = format ? format : "";
    while (*p != '\0') {
        if (*p != '%') {
            writer.put(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            writer.put('%');
            ++p;
            continue;
        }
        Conversion conv;
        for (;; ++p) {
            if (*p == '#')
                conv.alternate = true;
            else if (*p == '-')
                conv.left = true;
            else if (*p == '0')
                conv.zero = true;
            else if (*p == '+')
                conv.plus = true;
            else if (*p == ' ')
                conv.space = true;
            else
                break;
        }
        if (*p == '*') {
            // The width comes from the next argument; a missing one counts as 0.
            if (next < count) {
                std::int64_t width = signed_value(args[next]);
                if (width < 0) {
                    conv.left = true;
                    width = -width;
                }
                conv.width = static_cast<std::size_t>(width);
            }
            ++next;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                conv.width = conv.width * 10 + static_cast<std::size_t>(*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            conv.has_precision = true;
            while (*p >= '0' && *p <= '9')
                conv.precision = conv.precision * 10 + static_cast<std::size_t>(*p++ - '0');
        }
        // Length modifiers say nothing here: every argument carries its own width.
        while (*p == 'l' || *p == 'h' || *p == 'z' || *p == 'j' || *p == 't')
            ++p;
        char conversion = *p;
        if (conversion == '\0' ||
            std::strchr("diuxXcs", conversion) == nullptr) {
            // Not a conversion this formatter knows: print it as it stands.
            writer.put(start, static_cast<std::size_t>(p - start));
            continue;
        }
        ++p;
        // A conversion without an argument prints nothing and reads nothing.
        if (next < count)
            convert(writer, conversion, conv, args[next]);
        ++next;
    }
    writer.finish();
}

void deliver(const char* format, const Arg* args, std::size_t count)
{
    HWND hWnd = g_hDebugWnd.load(std::memory_order_relaxed);
    if (hWnd == nullptr)
        return;

    char* pszTime = new (std::nothrow) char[25];
    char* pszText = new (std::nothrow) char[512];
    if (pszTime == nullptr || pszText == nullptr) {
        delete[] pszTime;
        delete[] pszText;
        return;
    }

    // "%8.8lu " with its blank removed: at least 8 digits, never cut.
    const Arg tick = make_arg(GetTickCount());
    format_message(pszTime, 25, "%8.8lu", &tick, 1);

    format_message(pszText, 512, format, args, count);
    std::size_t length = std::strlen(pszText);
    if (length > 0 && pszText[length - 1] == '\n')
        pszText[length - 1] = '\0';

    CTraceMessage* pMessage = new (std::nothrow) CTraceMessage(pszTime, pszText);
    if (pMessage == nullptr) {
        delete[] pszTime;
        delete[] pszText;
        return;
    }
    // After a successful post the window owns the record; a failed one leaves it here.
    if (!PostMessageA(hWnd, WM_DEBUG_MESSAGE, 0, reinterpret_cast<LPARAM>(pMessage)))
        delete pMessage;
}

}  // namespace trace_detail
