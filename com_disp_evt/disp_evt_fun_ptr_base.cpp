// The call object's liveness cookies: each is the complement of the object's
// address mixed with a salt of its own, so a moved or reused object fails.
#include "com_disp_evt/disp_evt_fun_ptr_base.h"

#include <cstdint>

namespace com_disp_evt {

namespace {

constexpr std::uint32_t kFirstCookieSalt = 0x008B09AAu;
constexpr std::uint32_t kSecondCookieSalt = 0x004CA11Eu;

std::uint32_t Cookie(const void* self, std::uint32_t salt) noexcept
{
    return ~(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self)) ^ salt);
}

} // namespace

disp_evt_fun_ptr_base::disp_evt_fun_ptr_base()
    : m_cookie1(Cookie(this, kFirstCookieSalt)), m_cookie2(Cookie(this, kSecondCookieSalt))
{
}

disp_evt_fun_ptr_base::~disp_evt_fun_ptr_base()
{
    invalidate();
}

bool disp_evt_fun_ptr_base::is_valid() const noexcept
{
    return m_cookie1 == Cookie(this, kFirstCookieSalt) && m_cookie2 == Cookie(this, kSecondCookieSalt);
}

void disp_evt_fun_ptr_base::invalidate() noexcept
{
    ++m_cookie1;
    ++m_cookie2;
}

} // namespace com_disp_evt
