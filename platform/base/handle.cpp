#include "platform/base/handle.h"

#include <mutex>
#include <vector>

namespace platform {

kernel_object::~kernel_object() = default;

namespace {

// Slot i holds handle value (i + 1) * 4, so no handle is null or INVALID_HANDLE_VALUE.
// Freed slots are reused lowest first, as the original system's handle tables do.
class handle_table {
public:
    HANDLE insert(std::shared_ptr<kernel_object> object)
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i]) {
                slots_[i] = std::move(object);
                return to_handle(i);
            }
        }
        if (slots_.size() >= max_slots)
            return nullptr;
        slots_.push_back(std::move(object));
        return to_handle(slots_.size() - 1);
    }

    std::shared_ptr<kernel_object> lookup(HANDLE handle)
    {
        std::size_t index = 0;
        if (!to_index(handle, index))
            return nullptr;
        std::lock_guard lock(mutex_);
        return index < slots_.size() ? slots_[index] : nullptr;
    }

    std::shared_ptr<kernel_object> remove(HANDLE handle)
    {
        std::size_t index = 0;
        if (!to_index(handle, index))
            return nullptr;
        std::lock_guard lock(mutex_);
        if (index >= slots_.size())
            return nullptr;
        return std::move(slots_[index]);
    }

private:
    static constexpr std::size_t max_slots = 1 << 20;

    static HANDLE to_handle(std::size_t index)
    {
        return reinterpret_cast<HANDLE>((index + 1) * 4);
    }

    static bool to_index(HANDLE handle, std::size_t& index)
    {
        auto value = reinterpret_cast<std::uintptr_t>(handle);
        if (value == 0 || value % 4 != 0 || value / 4 > max_slots)
            return false;
        index = value / 4 - 1;
        return true;
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<kernel_object>> slots_;
};

handle_table& table()
{
    static handle_table* instance = new handle_table;  // lives until the process ends
    return *instance;
}

thread_local DWORD last_error = 0;

}  // namespace

HANDLE insert_handle(std::shared_ptr<kernel_object> object)
{
    if (!object)
        return nullptr;
    return table().insert(std::move(object));
}

std::shared_ptr<kernel_object> lookup_handle(HANDLE handle)
{
    return table().lookup(handle);
}

}  // namespace platform

BOOL CloseHandle(HANDLE hObject)
{
    auto object = platform::table().remove(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->on_last_handle_closed();
    return TRUE;
}

DWORD GetLastError()
{
    return platform::last_error;
}

void SetLastError(DWORD dwErrCode)
{
    platform::last_error = dwErrCode;
}
