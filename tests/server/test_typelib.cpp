// The type library the DLL carries as resource TYPELIB 1, read back the way
// early-bound tools and scripting hosts read it, and the version resource.
#include "tests/server/server_test_util.h"
#include "kex_version.h"

#include <oleauto.h>

#include <string>
#include <vector>

namespace {

std::string Narrow(const wchar_t* w) { return w ? std::string(w, w + wcslen(w)) : std::string("<null>"); }

class TypeLibrary : public testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        ASSERT_EQ(S_OK, LoadTypeLibEx(server_test::ComponentPath().c_str(), REGKIND_NONE, m_lib.put()));
    }
    void TearDown() override
    {
        m_lib.reset();
        CoUninitialize();
    }
    std::string Name(ITypeInfo* info, MEMBERID id = MEMBERID_NIL, std::string* help = nullptr)
    {
        kex::unique_bstr name, doc;
        info->GetDocumentation(id, name.put(), doc.put(), nullptr, nullptr);
        if (help)
            *help = doc ? Narrow(doc.get()) : std::string();
        return Narrow(name.get());
    }
    kex::com_ptr<ITypeLib> m_lib;
};

TEST_F(TypeLibrary, Attributes)
{
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, m_lib->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_KexUSBPhone, attr->guid));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0u, attr->lcid);
    EXPECT_EQ(0, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE); // the loader's own mark
#ifdef _WIN64
    EXPECT_EQ(SYS_WIN64, attr->syskind);
#else
    EXPECT_EQ(SYS_WIN32, attr->syskind);
#endif
    m_lib->ReleaseTLibAttr(attr);

    kex::unique_bstr name, help;
    ASSERT_EQ(S_OK, m_lib->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr));
    EXPECT_EQ("KexUSBPhone", Narrow(name.get()));
    EXPECT_EQ("KexUSBPhone 1.0 Type Library", Narrow(help.get()));
}

struct TypeRow {
    const char* name;
    TYPEKIND kind;
    WORD flags;
    const GUID* guid;
};

TEST_F(TypeLibrary, TypesInOrder)
{
    const TypeRow kTypes[] = {
        {"IKexPhoneEvents", TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE, &DIID_IKexPhoneEvents},
        {"KEX_USBPHONE_EVENT", TKIND_ENUM, 0, nullptr},
        {"KEX_USBPHONE_KEYVALUE", TKIND_ENUM, 0, nullptr},
        {"KEX_USBPHONE_CHARVALUE", TKIND_ENUM, 0, nullptr},
        {"KexUSBPhone", TKIND_COCLASS, TYPEFLAG_FCANCREATE, &CLSID_KexUSBPhone},
        // OLE-automation compatibility shows on the function-table side (below).
        {"IKexPhone", TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, &IID_IKexPhone},
        {"IKexPhone2", TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, &IID_IKexPhone2},
        {"IKexPhone3", TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, &IID_IKexPhone3},
    };
    const UINT count = sizeof kTypes / sizeof kTypes[0];
    ASSERT_EQ(count, m_lib->GetTypeInfoCount());
    for (UINT i = 0; i < count; ++i) {
        const TypeRow& row = kTypes[i];
        SCOPED_TRACE(testing::Message() << "type " << i << " " << row.name);
        kex::com_ptr<ITypeInfo> info;
        ASSERT_EQ(S_OK, m_lib->GetTypeInfo(i, info.put()));
        EXPECT_EQ(row.name, Name(info.get()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(row.kind, attr->typekind);
        EXPECT_EQ(row.flags, attr->wTypeFlags & ~TYPEFLAG_FOLEAUTOMATION);
        if (row.guid) {
            EXPECT_TRUE(IsEqualGUID(*row.guid, attr->guid));
        }
        if (row.kind == TKIND_COCLASS) {
            EXPECT_EQ(1, attr->wMajorVerNum);
            EXPECT_EQ(0, attr->wMinorVerNum);
        }
        info->ReleaseTypeAttr(attr);
    }
}

TEST_F(TypeLibrary, CoclassInterfaces)
{
    kex::com_ptr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, m_lib->GetTypeInfoOfGuid(CLSID_KexUSBPhone, coclass.put()));
    std::string help;
    Name(coclass.get(), MEMBERID_NIL, &help);
    EXPECT_EQ("KexPhone Class", help);
    const struct {
        const char* name;
        INT flags;
    } kImpl[] = {{"IKexPhone", IMPLTYPEFLAG_FDEFAULT},
                 {"IKexPhone2", 0},
                 {"IKexPhone3", 0},
                 {"IKexPhoneEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(4, attr->cImplTypes);
    coclass->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < 4; ++i) {
        SCOPED_TRACE(kImpl[i].name);
        INT flags = -1;
        ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(i, &flags));
        EXPECT_EQ(kImpl[i].flags, flags);
        HREFTYPE ref;
        ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(i, &ref));
        kex::com_ptr<ITypeInfo> impl;
        ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, impl.put()));
        EXPECT_EQ(kImpl[i].name, Name(impl.get()));
    }
}

struct MemberRow {
    MEMBERID id;
    const char* name;
    INVOKEKIND kind;
    std::vector<VARTYPE> params; // VT_PTR marks a pointer parameter
    const char* help;
};

// The vtable side of the dual interface: 7 IUnknown/IDispatch slots, then these.
TEST_F(TypeLibrary, DualInterfaceMembers)
{
    const MemberRow kMembers[] = {
        {1, "Start", INVOKE_FUNC, {}, "Start the USB phone module"},
        {2, "Stop", INVOKE_FUNC, {}, "Stop the USB phone module"},
        {3, "IsStarted", INVOKE_PROPERTYGET, {VT_PTR}, "Whether the USB phone module has been started"},
        {4, "USBPhoneName", INVOKE_PROPERTYGET, {VT_PTR}, "Name of the USB phone"},
        {5, "Number", INVOKE_PROPERTYPUT, {VT_BSTR}, "Show a number"},
        {6, "Link", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Connecting"},
        {7, "Ring", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Ringing"},
        {8, "RingBack", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Play the ring-back tone"},
        {9, "Talking", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "In conversation"},
        {10, "Hangup", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Hang up"},
        {11, "Hold", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Call held"},
        {12, "Resume", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Call resumed"},
        {13, "CallFailed", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Call failed"},
        {14, "Ready", INVOKE_FUNC, {}, "Initial state"},
        {15, "RingBusy", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Play the busy tone"},
        {16, "PutCallInfo", INVOKE_FUNC, {VT_BSTR, VT_BSTR}, "Show simple call information"},
        {17, "PutContactInfo", INVOKE_FUNC, {VT_PTR, VT_PTR, VT_I4}, "Show detailed contact information"},
    };
    kex::com_ptr<ITypeInfo> dispatch, vtable;
    ASSERT_EQ(S_OK, m_lib->GetTypeInfoOfGuid(IID_IKexPhone, dispatch.put()));
    HREFTYPE ref;
    ASSERT_EQ(S_OK, dispatch->GetRefTypeOfImplType(-1, &ref));
    ASSERT_EQ(S_OK, dispatch->GetRefTypeInfo(ref, vtable.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags);
    EXPECT_EQ(17, attr->cFuncs);
    vtable->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < 17; ++i) {
        const MemberRow& m = kMembers[i];
        SCOPED_TRACE(m.name);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &f));
        EXPECT_EQ(m.id, f->memid);
        EXPECT_EQ(m.kind, f->invkind);
        EXPECT_EQ(CC_STDCALL, f->callconv);
        EXPECT_EQ(static_cast<short>((7 + i) * sizeof(void*)), f->oVft);
        EXPECT_EQ(VT_HRESULT, f->elemdescFunc.tdesc.vt);
        ASSERT_EQ(m.params.size(), static_cast<size_t>(f->cParams));
        for (size_t p = 0; p < m.params.size(); ++p)
            EXPECT_EQ(m.params[p], f->lprgelemdescParam[p].tdesc.vt) << "parameter " << p;
        if (m.id == 17) {
            const PARAMDESC& line = f->lprgelemdescParam[2].paramdesc;
            EXPECT_TRUE(line.wParamFlags & PARAMFLAG_FOPT);
            ASSERT_TRUE(line.wParamFlags & PARAMFLAG_FHASDEFAULT);
            EXPECT_EQ(3, V_I4(&line.pparamdescex->varDefaultValue));
            EXPECT_EQ(VT_BSTR, f->lprgelemdescParam[0].tdesc.lptdesc->vt);
            EXPECT_EQ(VT_I4, f->lprgelemdescParam[1].tdesc.lptdesc->vt);
        }
        vtable->ReleaseFuncDesc(f);
        std::string help;
        EXPECT_EQ(m.name, Name(vtable.get(), m.id, &help));
        EXPECT_EQ(m.help, help);
    }

    // Names by DISPID through the type information, as a late-bound tool reads them.
    BSTR names[4] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, vtable->GetNames(6, names, 4, &count));
    ASSERT_EQ(3u, count);
    EXPECT_EQ("Link", Narrow(names[0]));
    EXPECT_EQ("peerName", Narrow(names[1]));
    EXPECT_EQ("peerNumber", Narrow(names[2]));
    for (UINT i = 0; i < count; ++i)
        SysFreeString(names[i]);
}

// The function-table side of a dual interface.
kex::com_ptr<ITypeInfo> FunctionTable(ITypeLib* lib, const IID& iid)
{
    kex::com_ptr<ITypeInfo> dispatch, vtable;
    HREFTYPE ref;
    if (FAILED(lib->GetTypeInfoOfGuid(iid, dispatch.put())) || FAILED(dispatch->GetRefTypeOfImplType(-1, &ref)) ||
        FAILED(dispatch->GetRefTypeInfo(ref, vtable.put())))
        return nullptr;
    return vtable;
}

// What hosts compiled against IKexPhone or IKexPhone2 rely on: each
// interface's own functions stay in their slots, and each derived interface
// begins where its base ends.
TEST_F(TypeLibrary, FunctionTablesBuildOnEachOther)
{
    const struct {
        const char* name;
        const IID* iid;
        const IID* base;
        short firstSlot; // after IUnknown, IDispatch and the bases
        short functions;
    } kInterfaces[] = {
        {"IKexPhone", &IID_IKexPhone, &IID_IDispatch, 7, 17},
        {"IKexPhone2", &IID_IKexPhone2, &IID_IKexPhone, 24, 1},
        {"IKexPhone3", &IID_IKexPhone3, &IID_IKexPhone2, 25, 11},
    };
    for (const auto& row : kInterfaces) {
        SCOPED_TRACE(row.name);
        kex::com_ptr<ITypeInfo> vtable = FunctionTable(m_lib.get(), *row.iid);
        ASSERT_TRUE(vtable);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
        EXPECT_EQ(row.functions, attr->cFuncs);
        EXPECT_EQ((row.firstSlot + row.functions) * sizeof(void*), attr->cbSizeVft);
        EXPECT_EQ(1, attr->cImplTypes);
        vtable->ReleaseTypeAttr(attr);

        HREFTYPE ref;
        kex::com_ptr<ITypeInfo> base;
        ASSERT_EQ(S_OK, vtable->GetRefTypeOfImplType(0, &ref));
        ASSERT_EQ(S_OK, vtable->GetRefTypeInfo(ref, base.put()));
        ASSERT_EQ(S_OK, base->GetTypeAttr(&attr));
        EXPECT_TRUE(IsEqualGUID(*row.base, attr->guid)) << "derives from " << Name(base.get());
        if (row.base != &IID_IDispatch) {
            EXPECT_EQ(row.firstSlot * sizeof(void*), attr->cbSizeVft) << "the base ends where this begins";
        }
        base->ReleaseTypeAttr(attr);

        for (short i = 0; i < row.functions; ++i) {
            FUNCDESC* f = nullptr;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &f));
            EXPECT_EQ(static_cast<short>((row.firstSlot + i) * sizeof(void*)), f->oVft) << "function " << i;
            vtable->ReleaseFuncDesc(f);
        }
    }
}

// The members after IKexPhone's, each in its slot with its DISPID.
TEST_F(TypeLibrary, LaterInterfacesMembers)
{
    const struct {
        const IID* iid;
        std::vector<MemberRow> members;
    } kInterfaces[] = {
        {&IID_IKexPhone2,
         {{18, "PutContactInfoList", INVOKE_FUNC, {VT_I4, VT_VARIANT, VT_VARIANT},
           "Show detailed contact information from arrays"}}},
        {&IID_IKexPhone3,
         {{19, "Mute", INVOKE_FUNC, {VT_BOOL}, "Tell the handsets whether the host is muted"},
          {20, "DeviceCount", INVOKE_PROPERTYGET, {VT_PTR}, "Number of devices attached"},
          {21, "DeviceId", INVOKE_PROPERTYGET, {VT_I4, VT_PTR}, "Id of the attached device at an index, from 0"},
          {22, "Devices", INVOKE_PROPERTYGET, {VT_PTR}, "Ids of the attached devices, as an array"},
          {23, "DeviceName", INVOKE_PROPERTYGET, {VT_BSTR, VT_PTR}, "Display name of a device"},
          {24, "DeviceVendorId", INVOKE_PROPERTYGET, {VT_BSTR, VT_PTR}, "USB vendor id of a device, 0 when none"},
          {25, "DeviceProductId", INVOKE_PROPERTYGET, {VT_BSTR, VT_PTR}, "USB product id of a device, 0 when none"},
          {26, "DeviceSerial", INVOKE_PROPERTYGET, {VT_BSTR, VT_PTR},
           "Serial number or instance of a device, empty when none"},
          {27, "ActiveDevice", INVOKE_PROPERTYGET, {VT_PTR},
           "The device call-state commands go to; empty: every device"},
          {27, "ActiveDevice", INVOKE_PROPERTYPUT, {VT_BSTR},
           "The device call-state commands go to; empty: every device"},
          {28, "EventDevice", INVOKE_PROPERTYGET, {VT_PTR},
           "The device of the event being fired; empty outside a handler"}}},
    };
    for (const auto& iface : kInterfaces) {
        kex::com_ptr<ITypeInfo> vtable = FunctionTable(m_lib.get(), *iface.iid);
        ASSERT_TRUE(vtable);
        for (UINT i = 0; i < iface.members.size(); ++i) {
            const MemberRow& m = iface.members[i];
            SCOPED_TRACE(testing::Message() << m.name << " " << m.kind);
            FUNCDESC* f = nullptr;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &f));
            EXPECT_EQ(m.id, f->memid);
            EXPECT_EQ(m.kind, f->invkind);
            EXPECT_EQ(CC_STDCALL, f->callconv);
            EXPECT_EQ(VT_HRESULT, f->elemdescFunc.tdesc.vt);
            ASSERT_EQ(m.params.size(), static_cast<size_t>(f->cParams));
            for (size_t p = 0; p < m.params.size(); ++p)
                EXPECT_EQ(m.params[p], f->lprgelemdescParam[p].tdesc.vt) << "parameter " << p;
            // A property get's last parameter is its result.
            if (m.kind == INVOKE_PROPERTYGET) {
                EXPECT_TRUE(f->lprgelemdescParam[f->cParams - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
            }
            vtable->ReleaseFuncDesc(f);
            std::string help;
            EXPECT_EQ(m.name, Name(vtable.get(), m.id, &help));
            EXPECT_EQ(m.help, help);
        }
    }

    // A late-bound tool finds every member by name on IKexPhone3, the
    // inherited ones with their old DISPIDs.
    kex::com_ptr<ITypeInfo> phone3;
    ASSERT_EQ(S_OK, m_lib->GetTypeInfoOfGuid(IID_IKexPhone3, phone3.put()));
    const struct {
        const wchar_t* name;
        MEMBERID id;
    } kNames[] = {{L"Start", 1}, {L"PutContactInfo", 17}, {L"PutContactInfoList", 18}, {L"Mute", 19},
                  {L"DeviceCount", 20}, {L"Devices", 22}, {L"DeviceName", 23}, {L"ActiveDevice", 27},
                  {L"EventDevice", 28}};
    for (const auto& n : kNames) {
        SCOPED_TRACE(Narrow(n.name));
        LPOLESTR name = const_cast<LPOLESTR>(n.name);
        MEMBERID id = -99;
        EXPECT_EQ(S_OK, phone3->GetIDsOfNames(&name, 1, &id));
        EXPECT_EQ(n.id, id);
    }
}

TEST_F(TypeLibrary, EventInterfaceMembers)
{
    const struct {
        MEMBERID id;
        const char* name;
        std::vector<const char*> params;
    } kEvents[] = {
        {1, "OnStateChange", {"eEvent", "wParam", "lParam"}},
        {2, "OnKey", {"eKey"}},
        {3, "OnAction", {"eChar"}},
    };
    kex::com_ptr<ITypeInfo> events;
    ASSERT_EQ(S_OK, m_lib->GetTypeInfoOfGuid(DIID_IKexPhoneEvents, events.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, events->GetTypeAttr(&attr));
    EXPECT_EQ(3, attr->cFuncs);
    events->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < 3; ++i) {
        SCOPED_TRACE(kEvents[i].name);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, events->GetFuncDesc(i, &f));
        EXPECT_EQ(kEvents[i].id, f->memid);
        EXPECT_EQ(FUNC_DISPATCH, f->funckind);
        EXPECT_EQ(VT_VOID, f->elemdescFunc.tdesc.vt);
        // The first argument is the enumeration, the others 32-bit integers.
        ASSERT_EQ(kEvents[i].params.size(), static_cast<size_t>(f->cParams));
        EXPECT_EQ(VT_USERDEFINED, f->lprgelemdescParam[0].tdesc.vt);
        for (short p = 1; p < f->cParams; ++p)
            EXPECT_EQ(VT_I4, f->lprgelemdescParam[p].tdesc.vt);
        events->ReleaseFuncDesc(f);
        BSTR names[4] = {};
        UINT count = 0;
        ASSERT_EQ(S_OK, events->GetNames(kEvents[i].id, names, 4, &count));
        ASSERT_EQ(kEvents[i].params.size() + 1, count);
        EXPECT_EQ(kEvents[i].name, Narrow(names[0]));
        for (UINT p = 1; p < count; ++p)
            EXPECT_EQ(kEvents[i].params[p - 1], Narrow(names[p]));
        for (UINT p = 0; p < count; ++p)
            SysFreeString(names[p]);
    }
}

TEST_F(TypeLibrary, Enumerations)
{
    const struct {
        const char* type;
        std::vector<std::pair<const char*, LONG>> members;
    } kEnums[] = {
        {"KEX_USBPHONE_EVENT",
         {{"KEX_USBPHONE_EVENT_ERROR", -1}, {"KEX_USBPHONE_EVENT_PLUGOUT", 0}, {"KEX_USBPHONE_EVENT_PLUGIN", 1}}},
        {"KEX_USBPHONE_KEYVALUE",
         {{"KEX_USBPHONE_KEYVALUE_ERROR", -1}, {"KEX_USBPHONE_KEYVALUE_1", 1}, {"KEX_USBPHONE_KEYVALUE_2", 2},
          {"KEX_USBPHONE_KEYVALUE_3", 3}, {"KEX_USBPHONE_KEYVALUE_4", 4}, {"KEX_USBPHONE_KEYVALUE_5", 5},
          {"KEX_USBPHONE_KEYVALUE_6", 6}, {"KEX_USBPHONE_KEYVALUE_7", 7}, {"KEX_USBPHONE_KEYVALUE_8", 8},
          {"KEX_USBPHONE_KEYVALUE_9", 9}, {"KEX_USBPHONE_KEYVALUE_0", 10}, {"KEX_USBPHONE_KEYVALUE_STAR", 11},
          {"KEX_USBPHONE_KEYVALUE_POUND", 12}}},
        {"KEX_USBPHONE_CHARVALUE",
         {{"KEX_USBPHONE_CHARVALUE_ERROR", -1}, {"KEX_USBPHONE_CHARVALUE_PICKUP", 1},
          {"KEX_USBPHONE_CHARVALUE_HANGUP", 2}, {"KEX_USBPHONE_CHARVALUE_NUMBER", 3},
          {"KEX_USBPHONE_CHARVALUE_CALL", 4}, {"KEX_USBPHONE_CHARVALUE_ADDRESSBOOK", 5},
          {"KEX_USBPHONE_CHARVALUE_CLEAR", 6}, {"KEX_USBPHONE_CHARVALUE_CALLHISTORYUP", 7},
          {"KEX_USBPHONE_CHARVALUE_CALLHISTORYDOWN", 8}, {"KEX_USBPHONE_CHARVALUE_ADDRESSBOOKUP", 9},
          {"KEX_USBPHONE_CHARVALUE_ADDRESSBOOKDOWN", 10}, {"KEX_USBPHONE_CHARVALUE_MUTE", 11},
          {"KEX_USBPHONE_CHARVALUE_HOLD", 12}, {"KEX_USBPHONE_CHARVALUE_REDIAL", 13},
          {"KEX_USBPHONE_CHARVALUE_CALLADDRNUMBER", 14}, {"KEX_USBPHONE_CHARVALUE_CALLHISTORY_EX", 15},
          {"KEX_USBPHONE_CHARVALUE_HANDFREE", 16}}},
    };
    for (UINT t = 0; t < 3; ++t) {
        SCOPED_TRACE(kEnums[t].type);
        kex::com_ptr<ITypeInfo> info;
        ASSERT_EQ(S_OK, m_lib->GetTypeInfo(1 + t, info.put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        ASSERT_EQ(kEnums[t].members.size(), static_cast<size_t>(attr->cVars));
        info->ReleaseTypeAttr(attr);
        for (UINT v = 0; v < kEnums[t].members.size(); ++v) {
            VARDESC* var = nullptr;
            ASSERT_EQ(S_OK, info->GetVarDesc(v, &var));
            EXPECT_EQ(VAR_CONST, var->varkind);
            EXPECT_EQ(kEnums[t].members[v].second, V_I4(var->lpvarValue)) << kEnums[t].members[v].first;
            EXPECT_EQ(kEnums[t].members[v].first, Name(info.get(), var->memid));
            info->ReleaseVarDesc(var);
        }
    }
}

TEST(TypeLibraryResource, IsTypeLibOneInUsEnglish)
{
    kex::unique_hmodule module(LoadLibraryExW(server_test::ComponentPath().c_str(), nullptr,
                                              LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    EXPECT_NE(nullptr, FindResourceExW(module.get(), L"TYPELIB", MAKEINTRESOURCEW(1),
                                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
}

TEST(VersionResource, NamesTheComponent)
{
    std::wstring path = server_test::ComponentPath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(VFT_DLL, fixed->dwFileType);
    // Both the numbers and the texts come from the file VERSION.
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(KEX_VERSION_MINOR, KEX_VERSION_MAJOR)), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, KEX_VERSION_PATCH)), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    const struct {
        const wchar_t* key;
        const char* value;
    } kStrings[] = {
        {L"OriginalFilename", "KexUSBPhone.dll"},
        {L"ProductName", "KexUSBPhone"},
        {L"FileVersion", KEX_VERSION_FILE_TEXT},
        {L"ProductVersion", KEX_VERSION_TEXT},
        {L"CompanyName", "KexUSBPhone Project"},
        {L"FileDescription", "KexUSBPhone USB handset automation component"},
    };
    for (const auto& s : kStrings) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.key;
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &len))
            << Narrow(s.key);
        EXPECT_EQ(s.value, Narrow(value));
    }
}

} // namespace
