// The number that names one handed-over call, and how it rides in the two
// parameters of the window's message (each 32 bits wide in the 32-bit build).
#pragma once

#include <windows.h>

#include <cstdint>

namespace com_disp_evt {

struct call_ticket {
    std::uint64_t value = 0;

    WPARAM wParam() const noexcept { return static_cast<WPARAM>(static_cast<std::uint32_t>(value)); }
    LPARAM lParam() const noexcept { return static_cast<LPARAM>(static_cast<std::uint32_t>(value >> 32)); }
    static call_ticket FromMessage(WPARAM wParam, LPARAM lParam) noexcept
    {
        return call_ticket{static_cast<std::uint32_t>(wParam) |
                           static_cast<std::uint64_t>(static_cast<std::uint32_t>(lParam)) << 32};
    }
    bool operator==(const call_ticket& o) const noexcept { return value == o.value; }
};

} // namespace com_disp_evt
