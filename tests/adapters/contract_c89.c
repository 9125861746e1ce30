/* The contract header must build as strict C89 with any compiler: this file
 * is compiled with -std=c89 -pedantic-errors, and checks the record layout
 * an adapter sees. */
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_DECLARE_VERSION_2
#include "adapters/KexUSBAdapter.h"

#define CONTRACT_ASSERT(name, cond) typedef char name[(cond) ? 1 : -1]

CONTRACT_ASSERT(info_first, offsetof(ContactInfo, info) == 0);
CONTRACT_ASSERT(icons_after_texts, offsetof(ContactInfo, iconType) == 3 * sizeof(const char *));
CONTRACT_ASSERT(icon_is_32_bits, sizeof(((ContactInfo *)0)->iconType[0]) == 4);
CONTRACT_ASSERT(commands, KEX_CMD_FIRST == 1 && KEX_CMD_LAST == 13 && KEX_CMD_CONTACTINFO == 13);
CONTRACT_ASSERT(messages, KEX_DEV_FIRST == 1 && KEX_DEV_LAST == 17 && KEX_DEV_KEY == 3);
CONTRACT_ASSERT(keys, KEX_KEY_0 == 10 && KEX_KEY_STAR == 11 && KEX_KEY_POUND == 12);
CONTRACT_ASSERT(plug, KEX_PLUG_OUT == 0 && KEX_PLUG_IN == 1);
CONTRACT_ASSERT(version_2, KEX_CONTRACT_VERSION == 2 && KEX_CMD_MUTE == 14 && KEX_CMD_LAST_V2 == 14);
/* The host record only grows at its end: these stay where they are. */
CONTRACT_ASSERT(host_size_first, offsetof(KexHost, size) == 0);
CONTRACT_ASSERT(host_context, offsetof(KexHost, context) == 2 * sizeof(uint32_t));
CONTRACT_ASSERT(host_report, offsetof(KexHost, Report) == offsetof(KexHost, context) + sizeof(void *));
CONTRACT_ASSERT(device_size_first, offsetof(KexDeviceInfo, size) == 0);

/* The declared exports match the pointer types the component resolves. */
static KexIntializeFn s_intialize = Intialize;
static KexExecuteFn s_execute = execute;
static KexUnInitializeFn s_unInitialize = UnInitialize;
static KexAdapterVersionFn s_version = KexAdapterVersion;
static KexInitialize2Fn s_initialize2 = KexInitialize2;
static KexExecute2Fn s_execute2 = KexExecute2;

int contract_c89_used(void);
int contract_c89_used(void)
{
    return s_intialize != 0 && s_execute != 0 && s_unInitialize != 0 && s_version != 0 && s_initialize2 != 0 &&
           s_execute2 != 0;
}
