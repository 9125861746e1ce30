// DeviceList: devices known per adapter, the listed ones in order, the
// selection and the command target.
#include "adapters/DeviceList.h"

#include "adapters/DeviceText.h"

#include <algorithm>

struct DeviceList::Device {
    std::string localId; // as the adapter spells it; "" for the adapter itself
    DeviceFields fields;
    bool described = false;
};

class DeviceList::Adapter {
public:
    std::u16string key;
    int version = 1;
    const char* codeStart = nullptr;
    const char* codeEnd = nullptr;
    std::vector<std::unique_ptr<Device>> known; // in the order they became known
    std::vector<const Device*> listed;          // in the order they were plugged in

    Device* FindLocal(std::string_view localId) const
    {
        for (const auto& d : known)
            if (d->localId == localId)
                return d.get();
        return nullptr;
    }
    Device* FirstDescribed() const
    {
        for (const auto& d : known)
            if (d->described)
                return d.get();
        return nullptr;
    }
    std::u16string IdOf(std::string_view localId) const
    {
        if (localId.empty())
            return key;
        return key + u"/" + DeviceTextFromUtf8(localId);
    }
    // A device made known now; null when the adapter has made too many.
    Device* Add(std::string localId)
    {
        if (known.size() >= kMaxDevicesPerAdapter)
            return nullptr;
        auto device = std::make_unique<Device>();
        device->fields.id = IdOf(localId);
        device->fields.name = device->fields.id;
        device->localId = std::move(localId);
        known.push_back(std::move(device));
        return known.back().get();
    }
    bool IsListed(const Device* d) const { return std::find(listed.begin(), listed.end(), d) != listed.end(); }
};

DeviceList::DeviceList() = default;
DeviceList::~DeviceList() = default;

DeviceList::Adapter* DeviceList::AddAdapter(std::u16string key, int version, const void* codeStart,
                                            const void* codeEnd)
{
    auto adapter = std::make_unique<Adapter>();
    adapter->key = std::move(key);
    adapter->version = version;
    adapter->codeStart = static_cast<const char*>(codeStart);
    adapter->codeEnd = static_cast<const char*>(codeEnd);
    if (version < 2)
        adapter->listed.push_back(adapter->Add(std::string()));
    m_adapters.push_back(std::move(adapter));
    return m_adapters.back().get();
}

void DeviceList::RemoveAdapter(const Adapter* adapter)
{
    if (adapter == m_selectedAdapter) {
        m_selected = nullptr;
        m_selectedAdapter = nullptr;
    }
    m_adapters.erase(std::remove_if(m_adapters.begin(), m_adapters.end(),
                                    [adapter](const std::unique_ptr<Adapter>& a) { return a.get() == adapter; }),
                     m_adapters.end());
}

bool DeviceList::Describe(Adapter& adapter, const KexDeviceInfo* info)
{
    if (!info || info->size < sizeof(KexDeviceInfo) || !info->id || !*info->id)
        return false;
    Device* device = adapter.FindLocal(info->id);
    if (!device)
        device = adapter.Add(info->id);
    if (!device)
        return false;
    device->described = true;
    DeviceFields& f = device->fields;
    f.name = DeviceTextFromUtf8(info->name);
    if (f.name.empty())
        f.name = f.id;
    f.vendorId = info->vendorId;
    f.productId = info->productId;
    f.serial = DeviceTextFromUtf8(info->serial);
    return true;
}

std::u16string DeviceList::Report(Adapter& adapter, const char* deviceId, uint32_t msg, uint32_t wParam,
                                  bool* endedSelection)
{
    if (endedSelection)
        *endedSelection = false;
    const bool pluggedIn = msg == KEX_DEV_PLUG && wParam == KEX_PLUG_IN;
    const bool pluggedOut = msg == KEX_DEV_PLUG && wParam == KEX_PLUG_OUT;
    Device* device = nullptr;
    std::string_view localId;
    if (!deviceId || !*deviceId) {
        device = adapter.FirstDescribed();
        if (!device)
            device = adapter.FindLocal(localId);
    } else {
        localId = deviceId;
        device = adapter.FindLocal(localId);
    }
    // Only a plug-in makes a device known: other reports from an unknown
    // device still name it, without keeping anything.
    if (!device && pluggedIn)
        device = adapter.Add(std::string(localId));
    if (!device)
        return adapter.IdOf(localId);

    if (pluggedIn && !adapter.IsListed(device)) {
        adapter.listed.push_back(device);
    } else if (pluggedOut) {
        adapter.listed.erase(std::remove(adapter.listed.begin(), adapter.listed.end(), device), adapter.listed.end());
        if (m_selected == device) {
            m_selected = nullptr;
            m_selectedAdapter = nullptr;
            if (endedSelection)
                *endedSelection = true;
        }
    }
    return device->fields.id;
}

std::u16string DeviceList::DeviceOfCode(const void* address) const
{
    const char* at = static_cast<const char*>(address);
    const Adapter* only = nullptr;
    int versionOne = 0;
    for (const auto& a : m_adapters) {
        if (a->version >= 2)
            continue;
        if (at && a->codeStart && at >= a->codeStart && at < a->codeEnd)
            return a->key;
        only = a.get();
        ++versionOne;
    }
    return versionOne == 1 ? only->key : std::u16string();
}

std::vector<std::u16string> DeviceList::Ids() const
{
    std::vector<std::u16string> ids;
    for (const auto& a : m_adapters)
        for (const Device* d : a->listed)
            ids.push_back(d->fields.id);
    return ids;
}

std::size_t DeviceList::Count() const
{
    std::size_t n = 0;
    for (const auto& a : m_adapters)
        n += a->listed.size();
    return n;
}

DeviceList::Listed DeviceList::FindListed(std::u16string_view id) const
{
    for (const auto& a : m_adapters)
        for (const Device* d : a->listed)
            if (d->fields.id == id)
                return {a.get(), d};
    return {};
}

bool DeviceList::Find(std::u16string_view id, DeviceFields& out) const
{
    // A listed device wins over an unlisted one of the same id.
    if (const Device* listed = FindListed(id).device) {
        out = listed->fields;
        return true;
    }
    for (const auto& a : m_adapters)
        for (const auto& d : a->known)
            if (d->fields.id == id) {
                out = d->fields;
                return true;
            }
    return false;
}

bool DeviceList::Select(std::u16string_view id)
{
    if (id.empty()) {
        m_selected = nullptr;
        m_selectedAdapter = nullptr;
        return true;
    }
    const Listed found = FindListed(id);
    if (!found.device)
        return false;
    m_selected = found.device;
    m_selectedAdapter = found.adapter;
    return true;
}

std::u16string DeviceList::Selected() const { return m_selected ? m_selected->fields.id : std::u16string(); }

DeviceList::Target DeviceList::CommandTarget() const
{
    Target target;
    if (!m_selected)
        return target;
    target.adapter = m_selectedAdapter;
    target.wholeAdapter = m_selected->localId.empty();
    target.localId = m_selected->localId;
    return target;
}
