// The devices of a version-1 and a version-2 adapter: the list and each
// device's fields, the active device, the device of each event and the error
// for an unknown id.
var done = false;
var p = new ActiveXObject("KexUSBPhone.KexPhone");
function ph_OnAction(c) { WScript.Echo("OnAction " + c + " from " + p.EventDevice); }
function ph_OnStateChange(e, w, l) {
    WScript.Echo("OnStateChange " + e + " from " + p.EventDevice + ", active \"" + p.ActiveDevice + "\", " +
                 p.DeviceCount + " devices");
    if (e == 0) done = true;
}
function hex(n) { return ((n < 0 ? n + 0x100000000 : n).toString(16)).toUpperCase(); }

WScript.ConnectObject(p, "ph_");
p.Start();
WScript.Echo("count " + p.DeviceCount + ", first " + p.DeviceId(0));
var ids = new VBArray(p.Devices).toArray();
for (var i = 0; i < ids.length; i++) {
    var id = ids[i];
    WScript.Echo(id + " | " + p.DeviceName(id) + " | " + hex(p.DeviceVendorId(id)) + ":" +
                 hex(p.DeviceProductId(id)) + " | " + p.DeviceSerial(id));
}
WScript.Echo("active \"" + p.ActiveDevice + "\", event device \"" + p.EventDevice + "\"");
p.ActiveDevice = "v2/head";
WScript.Echo("active " + p.ActiveDevice);
p.Ring("Alice", "100");
p.Mute(true);
try {
    p.ActiveDevice = "v2/none";
    WScript.Echo("unknown: no error");
} catch (e) {
    WScript.Echo("unknown: " + hex(e.number) + " " + e.description);
}
try {
    var n = p.DeviceName("nobody");
    WScript.Echo("unknown name: no error");
} catch (e) {
    WScript.Echo("unknown name: " + hex(e.number) + " " + e.description);
}
WScript.Echo("still active " + p.ActiveDevice);
p.PutCallInfo("raise", "11:0:0@desk 1:0:0@head 13:0:0 17:0:0@head");
for (var waited = 0; !done && waited < 150; waited++)
    WScript.Sleep(100);
p.Hangup("Alice", "100");
p.Stop();
WScript.Echo("done");
