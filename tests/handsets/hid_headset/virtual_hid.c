/* A virtual HID headset: a root-enumerated HID minidriver for the tests.
 *
 * hidclass asks it for its descriptors and keeps a read pending; a test
 * completes that read by sending the report it wants the headset to produce
 * (IOCTL_VHID_INJECT on the headset's HID handle), and collects the output
 * reports the host wrote (IOCTL_VHID_TAKE_OUTPUT, or IOCTL_VHID_WAIT_OUTPUT
 * held until there are some). Each device serves the report descriptor,
 * vendor and product id, product string and serial number written into its
 * device key by the installer.
 *
 * A driver may import only ntoskrnl.exe and hidclass.sys; everything here is
 * plain C on those two. */
#include <ntifs.h>
#include <wdm.h>

#include "hid_minidriver.h"
#include "virtual_hid_control.h"

#define QUEUE_REPORTS 32
#define REPORT_MAX 64
#define OUTPUT_BYTES 8192
#define MAX_DEVICES 16

struct vhid {
    DEVICE_OBJECT *fdo;
    KSPIN_LOCK lock; /* held only for copies: never across a call out */
    KIRQL irql;
    UCHAR descriptor[VHID_MAX_DESCRIPTOR]; /* from the device key */
    ULONG descriptor_length;
    USHORT vendor, product;
    WCHAR product_string[VHID_MAX_STRING + 1];
    WCHAR serial[VHID_MAX_STRING + 1]; /* "" for none */
    IRP *pending_read;
    IRP *pending_output_wait;
    BOOLEAN gone;
    UCHAR queue[QUEUE_REPORTS][REPORT_MAX];
    ULONG queue_length[QUEUE_REPORTS];
    ULONG queue_head, queue_count;
    UCHAR output[OUTPUT_BYTES];
    ULONG output_length;
};

static DEVICE_OBJECT *devices[MAX_DEVICES];
static PDRIVER_DISPATCH hidclass_device_control;

static struct vhid *vhid_of(DEVICE_OBJECT *device)
{
    return ((KEX_HID_DEVICE_EXTENSION *)device->DeviceExtension)->MiniDeviceExtension;
}

/* A dispatcher mutex waited on from hidclass's reader and the dispatch
 * thread at once hangs Wine 8; its spin locks do not. (On i386 they live in
 * hal.dll.) */
static void lock(struct vhid *v)
{
    KIRQL irql;
    KeAcquireSpinLock(&v->lock, &irql);
    v->irql = irql;
}

static void unlock(struct vhid *v)
{
    KeReleaseSpinLock(&v->lock, v->irql);
}

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static ULONG read_dword(HANDLE key, const WCHAR *name, ULONG fallback)
{
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    UNICODE_STRING value;
    ULONG size;
    RtlInitUnicodeString(&value, name);
    if (ZwQueryValueKey(key, &value, KeyValuePartialInformation, info, sizeof buffer, &size) != STATUS_SUCCESS ||
        info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return fallback;
    return *(ULONG *)info->Data;
}

/* A REG_BINARY or REG_SZ value into buffer (size bytes); its length in
 * bytes, 0 when absent, of another type or too long. */
static ULONG read_value(HANDLE key, const WCHAR *name, ULONG type, void *buffer, ULONG size)
{
    UCHAR data[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + VHID_MAX_DESCRIPTOR];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)data;
    UNICODE_STRING value;
    ULONG got;
    RtlInitUnicodeString(&value, name);
    if (ZwQueryValueKey(key, &value, KeyValuePartialInformation, info, sizeof data, &got) != STATUS_SUCCESS ||
        info->Type != type || info->DataLength == 0 || info->DataLength > size)
        return 0;
    RtlCopyMemory(buffer, info->Data, info->DataLength);
    return info->DataLength;
}

/* A REG_SZ value into text (VHID_MAX_STRING units and the NUL); text is
 * left as it is when the value is absent. */
static void read_string(HANDLE key, const WCHAR *name, WCHAR *text)
{
    WCHAR got[VHID_MAX_STRING + 1];
    ULONG n = read_value(key, name, REG_SZ, got, VHID_MAX_STRING * sizeof(WCHAR));
    if (!n)
        return;
    RtlCopyMemory(text, got, n);
    text[n / sizeof(WCHAR)] = 0;
}

static ULONG string_bytes(const WCHAR *text)
{
    ULONG n = 0;
    while (text[n])
        ++n;
    return (n + 1) * sizeof(WCHAR);
}

static void WINAPI cancel_output_wait(DEVICE_OBJECT *device, IRP *irp);

/* The test's wait for output, taken out of the device; NULL when none, or
 * when its cancellation already has it. */
static IRP *take_output_wait(struct vhid *v)
{
    IRP *irp;
    lock(v);
    irp = v->pending_output_wait;
    v->pending_output_wait = NULL;
    unlock(v);
    if (irp && !IoSetCancelRoutine(irp, NULL))
        return NULL;
    return irp;
}

/* The host is done with the device: a held read must not keep hidclass's
 * reader (and with it the removal) waiting. */
static void fail_reads(struct vhid *v)
{
    IRP *irp;
    lock(v);
    v->gone = TRUE;
    irp = v->pending_read;
    v->pending_read = NULL;
    unlock(v);
    if (irp)
        complete(irp, STATUS_DELETE_PENDING, 0);
    if ((irp = take_output_wait(v)))
        complete(irp, STATUS_DELETE_PENDING, 0);
}

static NTSTATUS WINAPI on_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    KEX_HID_DEVICE_EXTENSION *ext = device->DeviceExtension;
    int i;

    switch (stack->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        fail_reads(vhid_of(device));
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE)
            for (i = 0; i < MAX_DEVICES; ++i)
                (void)InterlockedCompareExchangePointer((void **)&devices[i], NULL, device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS WINAPI on_power(DEVICE_OBJECT *device, IRP *irp)
{
    KEX_HID_DEVICE_EXTENSION *ext = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->NextDeviceObject, irp);
}

/* Moves the recorded output into irp's buffer: its length, or 0 when it
 * does not fit. Called with the lock held. */
static ULONG move_output(struct vhid *v, IRP *irp, ULONG room)
{
    ULONG n = v->output_length <= room ? v->output_length : 0;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, v->output, n);
    if (n)
        v->output_length = 0;
    return n;
}

static void record_output(struct vhid *v, UCHAR kind, const HID_XFER_PACKET *packet)
{
    ULONG length = packet->reportBufferLen;
    const UCHAR *bytes = packet->reportBuffer;
    BOOLEAN add_id = packet->reportId == 0; /* the buffer starts with the id when the device has ids */
    ULONG total = length + (add_id ? 1 : 0);
    if (!bytes || total > 255)
        return;
    lock(v);
    if (v->output_length + 2 + total <= OUTPUT_BYTES) {
        UCHAR *p = v->output + v->output_length;
        *p++ = kind;
        *p++ = (UCHAR)total;
        if (add_id)
            *p++ = 0;
        RtlCopyMemory(p, bytes, length);
        v->output_length += 2 + total;
    }
    unlock(v);

    {
        IRP *wait = take_output_wait(v);
        ULONG n;
        if (!wait)
            return;
        lock(v);
        n = move_output(v, wait, IoGetCurrentIrpStackLocation(wait)->Parameters.DeviceIoControl.OutputBufferLength);
        unlock(v);
        complete(wait, n ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, n);
    }
}

static NTSTATUS WINAPI on_internal_ioctl(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    struct vhid *v = vhid_of(device);
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *out = irp->UserBuffer;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
        KEX_HID_DESCRIPTOR d = {sizeof d, 0x21, 0x0111, 0, 1, 0x22, (USHORT)v->descriptor_length};
        if (out_length < sizeof d)
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(out, &d, sizeof d);
        return complete(irp, STATUS_SUCCESS, sizeof d);
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        if (out_length < v->descriptor_length)
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(out, v->descriptor, v->descriptor_length);
        return complete(irp, STATUS_SUCCESS, v->descriptor_length);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        KEX_HID_DEVICE_ATTRIBUTES a = {sizeof a, v->vendor, v->product, 0x0100, {0}};
        if (out_length < sizeof a)
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(out, &a, sizeof a);
        return complete(irp, STATUS_SUCCESS, sizeof a);
    }
    case IOCTL_HID_GET_STRING: {
        static const WCHAR manufacturer[] = L"KexUSBPhone tests";
        const WCHAR *text = NULL;
        ULONG bytes;
        /* Windows numbers the strings 14 to 16; Wine 8's hidclass asks for
         * them as 1 to 3 (as mingw-w64's header numbers them). */
        switch ((ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer & 0xFFFF) {
        case KEX_HID_STRING_ID_IMANUFACTURER:
        case HID_STRING_ID_IMANUFACTURER:
            text = manufacturer;
            break;
        case KEX_HID_STRING_ID_IPRODUCT:
        case HID_STRING_ID_IPRODUCT:
            text = v->product_string;
            break;
        case KEX_HID_STRING_ID_ISERIALNUMBER:
        case HID_STRING_ID_ISERIALNUMBER:
            text = v->serial[0] ? v->serial : NULL; /* a device without one */
            break;
        }
        if (!text)
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        bytes = string_bytes(text);
        if (out_length < bytes)
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(out, text, bytes);
        return complete(irp, STATUS_SUCCESS, bytes);
    }
    case IOCTL_HID_READ_REPORT: {
        ULONG n;
        lock(v);
        if (v->gone || v->pending_read) {
            unlock(v);
            return complete(irp, v->gone ? STATUS_DELETE_PENDING : STATUS_DEVICE_BUSY, 0);
        }
        if (v->queue_count == 0) {
            IoMarkIrpPending(irp);
            v->pending_read = irp;
            unlock(v);
            return STATUS_PENDING;
        }
        n = v->queue_length[v->queue_head];
        if (n > out_length)
            n = out_length;
        RtlCopyMemory(out, v->queue[v->queue_head], n);
        v->queue_head = (v->queue_head + 1) % QUEUE_REPORTS;
        --v->queue_count;
        unlock(v);
        return complete(irp, STATUS_SUCCESS, n);
    }
    case IOCTL_HID_WRITE_REPORT:
    case IOCTL_HID_SET_OUTPUT_REPORT:
    case IOCTL_HID_SET_FEATURE: {
        const HID_XFER_PACKET *packet = irp->UserBuffer;
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (!packet)
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        record_output(v, code == IOCTL_HID_WRITE_REPORT ? VHID_OUT_WRITE
                         : code == IOCTL_HID_SET_OUTPUT_REPORT ? VHID_OUT_SET_OUTPUT : VHID_OUT_SET_FEATURE,
                      packet);
        return complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
    }
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
        return complete(irp, STATUS_SUCCESS, 0);
    }
    return complete(irp, STATUS_NOT_SUPPORTED, 0);
}

/* The HID handle a test opens belongs to hidclass's collection device, whose
 * extension starts with its parent: ours. */
static struct vhid *find_device(DEVICE_OBJECT *device)
{
    DEVICE_OBJECT *parent = device->DeviceExtension ? *(DEVICE_OBJECT **)device->DeviceExtension : NULL;
    int i;
    for (i = 0; i < MAX_DEVICES; ++i)
        if (devices[i] && (devices[i] == device || devices[i] == parent))
            return vhid_of(devices[i]);
    return NULL;
}

static NTSTATUS inject(struct vhid *v, const UCHAR *bytes, ULONG length)
{
    IRP *irp;
    ULONG n;
    if (length == 0 || length > REPORT_MAX)
        return STATUS_INVALID_PARAMETER;
    lock(v);
    irp = v->pending_read;
    v->pending_read = NULL;
    if (!irp) {
        ULONG slot;
        if (v->queue_count == QUEUE_REPORTS) {
            unlock(v);
            return STATUS_DEVICE_BUSY;
        }
        slot = (v->queue_head + v->queue_count) % QUEUE_REPORTS;
        RtlCopyMemory(v->queue[slot], bytes, length);
        v->queue_length[slot] = length;
        ++v->queue_count;
        unlock(v);
        return STATUS_SUCCESS;
    }
    unlock(v);
    n = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (n > length)
        n = length;
    RtlCopyMemory(irp->UserBuffer, bytes, n);
    complete(irp, STATUS_SUCCESS, n);
    return STATUS_SUCCESS;
}

static NTSTATUS WINAPI on_device_control(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    struct vhid *v;

    if (code != IOCTL_VHID_INJECT && code != IOCTL_VHID_TAKE_OUTPUT && code != IOCTL_VHID_WAIT_OUTPUT)
        return hidclass_device_control(device, irp);
    if (!(v = find_device(device)))
        return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    if (code == IOCTL_VHID_INJECT)
        return complete(irp, inject(v, irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength), 0);

    {
        ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength, n;
        lock(v);
        if (code == IOCTL_VHID_WAIT_OUTPUT && v->output_length == 0) {
            NTSTATUS status = STATUS_PENDING;
            if (v->gone)
                status = STATUS_DELETE_PENDING;
            else if (v->pending_output_wait)
                status = STATUS_DEVICE_BUSY;
            else {
                IoSetCancelRoutine(irp, cancel_output_wait);
                if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
                    status = STATUS_CANCELLED; /* cancelled before it could be held */
                else {
                    IoMarkIrpPending(irp);
                    v->pending_output_wait = irp;
                }
            }
            unlock(v);
            return status == STATUS_PENDING ? status : complete(irp, status, 0);
        }
        n = move_output(v, irp, room);
        if (n == 0 && v->output_length) {
            unlock(v);
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        unlock(v);
        return complete(irp, STATUS_SUCCESS, n);
    }
}

/* The test stopped waiting for output. */
static void WINAPI cancel_output_wait(DEVICE_OBJECT *device, IRP *irp)
{
    struct vhid *v = find_device(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (v) {
        lock(v);
        if (v->pending_output_wait == irp)
            v->pending_output_wait = NULL;
        unlock(v);
    }
    complete(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS WINAPI on_add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *fdo)
{
    static const WCHAR default_product[] = L"Kex Virtual Headset";
    KEX_HID_DEVICE_EXTENSION *ext = fdo->DeviceExtension;
    struct vhid *v = ext->MiniDeviceExtension;
    HANDLE key;
    int i;

    RtlZeroMemory(v, sizeof *v);
    v->fdo = fdo;
    KeInitializeSpinLock(&v->lock);
    v->vendor = 0x1209;
    v->product = 0x0001;
    RtlCopyMemory(v->product_string, default_product, sizeof default_product);
    if (IoOpenDeviceRegistryKey(ext->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key) == STATUS_SUCCESS) {
        v->vendor = (USHORT)read_dword(key, VHID_VALUE_VENDOR, v->vendor);
        v->product = (USHORT)read_dword(key, VHID_VALUE_PRODUCT, v->product);
        v->descriptor_length = read_value(key, VHID_VALUE_DESCRIPTOR, REG_BINARY, v->descriptor,
                                          sizeof v->descriptor);
        read_string(key, VHID_VALUE_PRODUCT_STRING, v->product_string);
        read_string(key, VHID_VALUE_SERIAL, v->serial);
        ZwClose(key);
    }
    if (!v->descriptor_length)
        return STATUS_DEVICE_CONFIGURATION_ERROR; /* installed without a descriptor */
    for (i = 0; i < MAX_DEVICES; ++i)
        if (!InterlockedCompareExchangePointer((void **)&devices[i], fdo, NULL))
            break;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void WINAPI on_unload(DRIVER_OBJECT *driver)
{
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry)
{
    KEX_HID_MINIDRIVER_REGISTRATION registration;
    NTSTATUS status;

    driver->DriverExtension->AddDevice = on_add_device;
    driver->DriverUnload = on_unload;
    driver->MajorFunction[IRP_MJ_PNP] = on_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = on_power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = on_internal_ioctl;

    RtlZeroMemory(&registration, sizeof registration);
    registration.Revision = HID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registry;
    registration.DeviceExtensionSize = sizeof(struct vhid);
    registration.DevicesArePolled = FALSE;
    if ((status = HidRegisterMinidriver(&registration)) != STATUS_SUCCESS)
        return status;

    /* Test control arrives on the HID handle: hidclass answers the rest. */
    hidclass_device_control = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_device_control;
    return STATUS_SUCCESS;
}
