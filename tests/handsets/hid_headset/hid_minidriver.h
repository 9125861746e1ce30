/* What a HID minidriver needs from hidclass that mingw-w64's DDK headers lack
 * (or get wrong): the registration call and its structures, and the real
 * codes of the IOCTLs hidclass sends to its minidriver. */
#ifndef KEX_HID_MINIDRIVER_H
#define KEX_HID_MINIDRIVER_H

#include <hidusage.h>
#include <ddk/hidclass.h>

typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} KEX_HID_MINIDRIVER_REGISTRATION;

/* The head of every device extension hidclass creates for its minidriver. */
typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} KEX_HID_DEVICE_EXTENSION;

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} KEX_HID_DEVICE_ATTRIBUTES;

#include <pshpack1.h>
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} KEX_HID_DESCRIPTOR;
#include <poppack.h>

NTSTATUS NTAPI HidRegisterMinidriver(KEX_HID_MINIDRIVER_REGISTRATION *registration);

/* hidclass.h in mingw-w64 10 has placeholders for these. */
#undef IOCTL_HID_GET_DEVICE_DESCRIPTOR
#undef IOCTL_HID_GET_REPORT_DESCRIPTOR
#undef IOCTL_HID_READ_REPORT
#undef IOCTL_HID_WRITE_REPORT
#undef IOCTL_HID_GET_STRING
#undef IOCTL_HID_GET_DEVICE_ATTRIBUTES
#define KEX_HID_MINI_CODE(n) CTL_CODE(FILE_DEVICE_KEYBOARD, (n), METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_HID_GET_DEVICE_DESCRIPTOR KEX_HID_MINI_CODE(0)
#define IOCTL_HID_GET_REPORT_DESCRIPTOR KEX_HID_MINI_CODE(1)
#define IOCTL_HID_READ_REPORT KEX_HID_MINI_CODE(2)
#define IOCTL_HID_WRITE_REPORT KEX_HID_MINI_CODE(3)
#define IOCTL_HID_GET_STRING KEX_HID_MINI_CODE(4)
#define IOCTL_HID_ACTIVATE_DEVICE KEX_HID_MINI_CODE(7)
#define IOCTL_HID_DEACTIVATE_DEVICE KEX_HID_MINI_CODE(8)
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES KEX_HID_MINI_CODE(9)

/* The string ids of IOCTL_HID_GET_STRING (its low word) on Windows;
 * mingw-w64 10 numbers them from 1 (HID_STRING_ID_*), and so does Wine 8. */
#define KEX_HID_STRING_ID_IMANUFACTURER 14
#define KEX_HID_STRING_ID_IPRODUCT 15
#define KEX_HID_STRING_ID_ISERIALNUMBER 16

#endif
