// Typed call objects that bind a member function of an object to references
// of its arguments, and sync_call, which runs such a call on the event
// window's thread through a SyncEvent.
//
//   HRESULT KexUsbPhone::Fire_OnKey(KEX_USBPHONE_KEYVALUE eKey);
//   ...
//   KEX_USBPHONE_KEYVALUE key = KEX_USBPHONE_KEYVALUE_5;
//   com_disp_evt::sync_call(m_syncEvent, this, &KexUsbPhone::Fire_OnKey, key);
//
// The arguments are read through the references only when the call runs, on
// the window's thread, while the raiser waits inside sync_call. The member's
// result is discarded.
#pragma once

#include "com_disp_evt/SyncEvent.h"

#include <new>
#include <tuple>
#include <utility>

namespace com_disp_evt {
namespace detail {

template <class... T>
struct type_list {};

// Drops the unused (void) trailing parameters of member_fun_ptr<T1..T6>.
template <class Done, class... T>
struct drop_void;
template <class... D>
struct drop_void<type_list<D...>> {
    using type = type_list<D...>;
};
template <class... D, class H, class... T>
struct drop_void<type_list<D...>, H, T...> {
    using type = typename drop_void<type_list<D..., H>, T...>::type;
};
template <class... D, class... T>
struct drop_void<type_list<D...>, void, T...> {
    using type = typename drop_void<type_list<D...>, T...>::type;
};

template <class List>
class member_fun_holder;

template <class... A>
class member_fun_holder<type_list<A...>> {
public:
    class mfp_base {
    public:
        virtual ~mfp_base() = default;
        virtual void invoke(A... args) = 0;
        // Null when out of memory.
        virtual mfp_base* clone() const noexcept = 0;
    };

    template <class C, class M>
    class mfp_impl final : public mfp_base {
    public:
        mfp_impl(C* object, M member) noexcept : m_object(object), m_member(member) {}
        void invoke(A... args) override { (void)(m_object->*m_member)(args...); }
        mfp_base* clone() const noexcept override { return new (std::nothrow) mfp_impl(m_object, m_member); }

    private:
        C* m_object;
        M m_member;
    };

    member_fun_holder() noexcept = default;
    // Empty when the binding cannot be allocated.
    template <class C, class M>
    member_fun_holder(C* object, M member) noexcept : m_fn(new (std::nothrow) mfp_impl<C, M>(object, member))
    {
    }
    member_fun_holder(const member_fun_holder& o) noexcept : m_fn(o.m_fn ? o.m_fn->clone() : nullptr) {}
    member_fun_holder& operator=(const member_fun_holder& o) noexcept
    {
        if (this == &o)
            return *this;
        delete m_fn;
        m_fn = o.m_fn ? o.m_fn->clone() : nullptr;
        return *this;
    }
    ~member_fun_holder() { delete m_fn; }

    explicit operator bool() const noexcept { return m_fn != nullptr; }
    // Does nothing when empty.
    void operator()(A... args) const
    {
        if (m_fn)
            m_fn->invoke(args...);
    }

private:
    mfp_base* m_fn = nullptr;
};

} // namespace detail
} // namespace com_disp_evt

// One bound member-function call with argument types T1..T6; unused trailing
// types are void: member_fun_ptr<KEX_USBPHONE_KEYVALUE, void, void, void, void, void>.
template <class T1, class T2 = void, class T3 = void, class T4 = void, class T5 = void, class T6 = void>
class member_fun_ptr
    : public com_disp_evt::detail::member_fun_holder<
          typename com_disp_evt::detail::drop_void<com_disp_evt::detail::type_list<>, T1, T2, T3, T4, T5, T6>::type> {
    using holder = com_disp_evt::detail::member_fun_holder<
        typename com_disp_evt::detail::drop_void<com_disp_evt::detail::type_list<>, T1, T2, T3, T4, T5, T6>::type>;

public:
    using holder::holder;
    member_fun_ptr() noexcept = default;
};

namespace com_disp_evt {
namespace detail {

template <class Fn, class List>
class disp_evt_fun_impl;

template <class Fn, class... A>
class disp_evt_fun_impl<Fn, type_list<A...>> : public disp_evt_fun_ptr_base {
public:
    ~disp_evt_fun_impl() override = default;

    // Runs the bound member with the current values of the bound variables;
    // nothing when an argument or the member is missing.
    void execute() override { run(std::index_sequence_for<A...>{}); }

    void set_args(A&... args) noexcept { m_args = std::tuple<A*...>(&args...); }
    void set_function(const Fn& fn) noexcept { m_fn = fn; }

private:
    template <std::size_t... I>
    void run(std::index_sequence<I...>)
    {
        bool complete = true;
        (void)std::initializer_list<int>{(complete = complete && std::get<I>(m_args) != nullptr, 0)...};
        if (complete)
            m_fn(*std::get<I>(m_args)...);
    }

    std::tuple<A*...> m_args{};
    Fn m_fn;
};

} // namespace detail

// The call object carried to the window's thread: pointers to the caller's
// argument variables plus the bound member.
template <class T1, class T2 = void, class T3 = void, class T4 = void, class T5 = void, class T6 = void>
class disp_evt_fun_ptr final
    : public detail::disp_evt_fun_impl<member_fun_ptr<T1, T2, T3, T4, T5, T6>,
                                       typename detail::drop_void<detail::type_list<>, T1, T2, T3, T4, T5, T6>::type> {
};

// Three arguments: OnStateChange(eEvent, wParam, lParam).
template <class C, class M, class E>
bool sync_call(SyncEvent& ev, C* object, M member, E& eEvent, long& wParam, long& lParam) noexcept
{
    try {
        disp_evt_fun_ptr<E, long, long, void, void, void> call;
        call.set_function(member_fun_ptr<E, long, long, void, void, void>(object, member));
        call.set_args(eEvent, wParam, lParam);
        return ev.Call(call);
    } catch (...) { // the call object's lock could not be made
        return false;
    }
}

// One argument: OnKey(eKey), OnAction(eChar).
template <class C, class M, class A>
bool sync_call(SyncEvent& ev, C* object, M member, A& arg) noexcept
{
    try {
        disp_evt_fun_ptr<A, void, void, void, void, void> call;
        call.set_function(member_fun_ptr<A, void, void, void, void, void>(object, member));
        call.set_args(arg);
        return ev.Call(call);
    } catch (...) { // the call object's lock could not be made
        return false;
    }
}

} // namespace com_disp_evt
