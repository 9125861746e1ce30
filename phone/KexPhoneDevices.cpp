// IKexPhone3: the host's mute state for the handsets, and the devices: the
// list, each device's fields, the device commands go to and the device of the
// event being fired.
#include "phone/PhoneInternal.h"

#include "phone/KexPhone.h"

#include "adapters/AdapterManager.h"
#include "adapters/DeviceText.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <string>
#include <vector>

using kex_phone::ReportError;

namespace {

// How much of a caller's id a message quotes: an id of any length gives an
// error text of bounded length.
constexpr std::size_t kQuotedUnits = 128;

std::u16string FromBstr(BSTR text) { return kex::utf16(std::wstring_view(text, SysStringLen(text))); }

// A BSTR holds the same UTF-16 units: copied as they are.
static_assert(sizeof(OLECHAR) == sizeof(char16_t));
HRESULT ToBstr(const std::u16string& text, BSTR* out) noexcept
{
    BSTR copy = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
    if (!copy)
        return E_OUTOFMEMORY;
    *out = copy;
    return S_OK;
}

HRESULT Fail(HRESULT hr, const std::wstring& description) noexcept
{
    return ReportError(hr, description.c_str(), IID_IKexPhone3);
}

std::wstring Quoted(const std::u16string& id)
{
    return L"\"" + kex::widen(ShortenForMessage(id, kQuotedUnits)) + L"\"";
}

HRESULT UnknownDevice(const std::u16string& id) { return Fail(E_INVALIDARG, L"No device " + Quoted(id) + L" is known."); }

HRESULT NullOut() noexcept { return ReportError(E_POINTER, L"The result's address is null.", IID_IKexPhone3); }

// A device's text for a record: bounded, in the log's code page.
std::string ForLog(const std::u16string& id) { return kex::narrow(kex::widen(ShortenForMessage(id, kQuotedUnits))); }

} // namespace

HRESULT KexUsbPhone::Mute(VARIANT_BOOL muted) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::Mute");
    if (!m_pManager)
        return ReportError(E_FAIL, L"The phone object is not started.", IID_IKexPhone3);
    return Execute(KEX_CMD_MUTE, muted != VARIANT_FALSE ? 1 : 0, 0);
}

HRESULT KexUsbPhone::get_DeviceCount(LONG* pCount) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_DeviceCount");
    if (!pCount)
        return NullOut();
    try {
        *pCount = m_pManager ? static_cast<LONG>(m_pManager->DeviceIds().size()) : 0;
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::get_DeviceId(LONG index, BSTR* pId) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_DeviceId");
    if (!pId)
        return NullOut();
    *pId = nullptr;
    try {
        const std::vector<std::u16string> ids = m_pManager ? m_pManager->DeviceIds() : std::vector<std::u16string>();
        if (index < 0 || static_cast<std::size_t>(index) >= ids.size())
            return Fail(E_INVALIDARG, L"No device at index " + std::to_wstring(index) + L": " +
                                          std::to_wstring(ids.size()) + L" attached.");
        return ToBstr(ids[static_cast<std::size_t>(index)], pId);
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::get_Devices(VARIANT* pIds) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_Devices");
    if (!pIds)
        return NullOut();
    VariantInit(pIds);
    try {
        const std::vector<std::u16string> ids = m_pManager ? m_pManager->DeviceIds() : std::vector<std::u16string>();
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(ids.size()));
        if (!array)
            return E_OUTOFMEMORY;
        kex::unique_variant list;
        V_VT(&list) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(&list) = array;
        VARIANT* items = nullptr;
        if (HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&items)); FAILED(hr))
            return hr;
        HRESULT hr = S_OK;
        for (std::size_t i = 0; i < ids.size() && SUCCEEDED(hr); ++i) {
            hr = ToBstr(ids[i], &V_BSTR(&items[i]));
            if (SUCCEEDED(hr))
                V_VT(&items[i]) = VT_BSTR;
        }
        SafeArrayUnaccessData(array);
        if (FAILED(hr))
            return hr;
        *pIds = list;
        V_VT(&list) = VT_EMPTY;
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

// ---- one device's fields ----------------------------------------------------

#define KEX_DEVICE_FIELD_GETTER(method, type, read)                                                                 \
    HRESULT KexUsbPhone::method(BSTR device, type* out) noexcept                                                     \
    {                                                                                                                \
        KEX_TRACE_SCOPE("KexUsbPhone::" #method);                                                                    \
        if (!out)                                                                                                    \
            return NullOut();                                                                                        \
        *out = type(); /* a failed call leaves no text for the caller to free */                                     \
        try {                                                                                                        \
            const std::u16string id = FromBstr(device);                                                              \
            DeviceFields fields;                                                                                     \
            if (!m_pManager || !m_pManager->FindDevice(id, fields))                                                  \
                return UnknownDevice(id);                                                                            \
            read;                                                                                                    \
        }                                                                                                            \
        KEX_CATCH_RETURN()                                                                                           \
    }

KEX_DEVICE_FIELD_GETTER(get_DeviceName, BSTR, return ToBstr(fields.name, out))
KEX_DEVICE_FIELD_GETTER(get_DeviceVendorId, LONG, *out = fields.vendorId; return S_OK)
KEX_DEVICE_FIELD_GETTER(get_DeviceProductId, LONG, *out = fields.productId; return S_OK)
KEX_DEVICE_FIELD_GETTER(get_DeviceSerial, BSTR, return ToBstr(fields.serial, out))
#undef KEX_DEVICE_FIELD_GETTER

// ---- the device commands go to, and the event's device ----------------------

HRESULT KexUsbPhone::get_ActiveDevice(BSTR* pDevice) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_ActiveDevice");
    if (!pDevice)
        return NullOut();
    *pDevice = nullptr;
    try {
        return ToBstr(m_pManager ? m_pManager->SelectedDevice() : std::u16string(), pDevice);
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::put_ActiveDevice(BSTR device) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::put_ActiveDevice");
    try {
        const std::u16string id = FromBstr(device);
        if (id.empty()) {
            if (m_pManager)
                m_pManager->SelectDevice(id);
            KEX_INFO("Active device: every device.");
            return S_OK;
        }
        // Checked and chosen in one step under the devices' lock: a device
        // unplugged meanwhile is either refused here or unselected by its
        // plug-out.
        if (!m_pManager || !m_pManager->SelectDevice(id)) {
            KEX_ERROR("No device %s is attached.", ForLog(id).c_str());
            return Fail(E_INVALIDARG, L"No device " + Quoted(id) + L" is attached.");
        }
        KEX_INFO("Active device: %s.", ForLog(id).c_str());
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::get_EventDevice(BSTR* pDevice) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_EventDevice");
    if (!pDevice)
        return NullOut();
    *pDevice = nullptr;
    try {
        return ToBstr(m_eventDevice ? *m_eventDevice : std::u16string(), pDevice);
    }
    KEX_CATCH_RETURN()
}
