/* Test control of the virtual HID headset, shared by its driver, its
 * installer and the tests: custom IOCTLs on the headset's own HID device
 * handle, and the values of its device key. */
#ifndef KEX_VIRTUAL_HID_CONTROL_H
#define KEX_VIRTUAL_HID_CONTROL_H

/* Input: the report's bytes (report id first). Completes a read hidclass has
 * pending, or queues the report for the next one. */
#define IOCTL_VHID_INJECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: the output reports received since the last call, removed from the
 * record, each as { kind, length, bytes[length] } (report id first). */
#define IOCTL_VHID_TAKE_OUTPUT CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: as IOCTL_VHID_TAKE_OUTPUT, but held until there is output (one
 * such request at a time; cancel it to stop waiting). */
#define IOCTL_VHID_WAIT_OUTPUT CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA03, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define VHID_OUT_WRITE 1      /* WriteFile */
#define VHID_OUT_SET_OUTPUT 2 /* HidD_SetOutputReport */
#define VHID_OUT_SET_FEATURE 3

/* The device key's values, written by the installer: the report descriptor
 * (REG_BINARY), the USB ids (REG_DWORD), the product and serial number
 * strings (REG_SZ; no serial number when absent). */
#define VHID_VALUE_DESCRIPTOR L"ReportDescriptor"
#define VHID_VALUE_VENDOR L"VendorID"
#define VHID_VALUE_PRODUCT L"ProductID"
#define VHID_VALUE_PRODUCT_STRING L"ProductString"
#define VHID_VALUE_SERIAL L"SerialNumber"
#define VHID_MAX_DESCRIPTOR 1024
#define VHID_MAX_STRING 126 /* UTF-16 units, as in a USB string descriptor */

#define VHID_HARDWARE_ID L"root\\kexvirtualhid"

#endif
