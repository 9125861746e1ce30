// DeviceList: the devices of a manager's adapters as the host sees them,
// which one is selected, and where a command goes. Portable (no Windows
// calls): built natively for the sanitizers too.
//
// A device's id for the host is the adapter's [AdapterList] key, and for a
// device a version-2 adapter names, "/" and the adapter's own id for it:
// "Headset/0b0e-0348-A1", "VirtualHandset". A version-1 adapter is one device
// whose id is its key, listed from its binding until it is removed; its plug
// reports carry no identity and change nothing. A version-2 adapter's
// devices are listed by its plug-in reports and leave by its plug-out
// reports. Devices an adapter described or plugged in stay known (their
// fields can be read) until the adapter is removed.
//
// Not thread-safe: the owner serialises every call (the manager holds its
// lock around each; adapters' threads report through it).
#pragma once

#include "adapters/KexUSBAdapter.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A device as the host reads it.
struct DeviceFields {
    std::u16string id;
    std::u16string name; // the adapter's name for it; the id when it gave none
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::u16string serial; // "" when none
};

class DeviceList {
public:
    // One bound adapter: its key, its contract version and its devices.
    class Adapter;

    // Devices an adapter can make known; beyond them descriptions are
    // refused and new devices still report, unlisted.
    static constexpr std::size_t kMaxDevicesPerAdapter = 256;

    DeviceList();
    ~DeviceList();
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // A bound adapter, after those added before. codeStart and codeEnd: the
    // address range of its library's image, which tells a version-1
    // adapter's callbacks apart (see DeviceOfCode). The adapter stays valid
    // until RemoveAdapter.
    Adapter* AddAdapter(std::u16string key, int version, const void* codeStart = nullptr,
                        const void* codeEnd = nullptr);
    // Its devices leave the list; the selection ends when it was one of them.
    void RemoveAdapter(const Adapter* adapter);

    // ---- what a version-2 adapter says -------------------------------------
    // Names a device, or updates it. False: the record is unusable (null,
    // smaller than KexDeviceInfo, no id or an empty one) or the adapter
    // already made kMaxDevicesPerAdapter devices known.
    bool Describe(Adapter& adapter, const KexDeviceInfo* info);
    // The id of the device a report comes from (deviceId null or "": the
    // adapter's first described device, else the adapter itself). A plug-in
    // (KEX_DEV_PLUG, KEX_PLUG_IN) lists it; a plug-out unlists it and, when
    // it was the selected device, ends the selection (endedSelection tells).
    std::u16string Report(Adapter& adapter, const char* deviceId, uint32_t msg, uint32_t wParam,
                          bool* endedSelection = nullptr);

    // ---- the version-1 callback --------------------------------------------
    // The device of a version-1 callback made from code at `address`: the
    // first version-1 adapter whose image holds that address; failing that
    // (the adapter called through code of another library, or the address is
    // unknown), the only version-1 adapter when exactly one is bound; else "".
    std::u16string DeviceOfCode(const void* address) const;

    // ---- the host ----------------------------------------------------------
    // Listed devices: adapters in binding order, each one's devices in the
    // order they were plugged in.
    std::vector<std::u16string> Ids() const;
    std::size_t Count() const;
    // A listed or otherwise known device; false for an unknown id.
    bool Find(std::u16string_view id, DeviceFields& out) const;
    // "" selects every device. False when no listed device has that id; the
    // selection is then unchanged.
    bool Select(std::u16string_view id);
    // The selected device's id, "" for every device.
    std::u16string Selected() const;

    // Where commands go: every adapter (adapter null), or one adapter and,
    // unless wholeAdapter, one device of it named by its own id.
    struct Target {
        const Adapter* adapter = nullptr;
        bool wholeAdapter = true;
        std::string localId;
    };
    Target CommandTarget() const;

private:
    struct Device;
    struct Listed {
        const Adapter* adapter = nullptr;
        const Device* device = nullptr;
    };
    // The listed device with that id and its adapter; nulls when none.
    Listed FindListed(std::u16string_view id) const;

    std::vector<std::unique_ptr<Adapter>> m_adapters;
    const Device* m_selected = nullptr;
    const Adapter* m_selectedAdapter = nullptr;
};
