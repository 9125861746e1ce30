// phone.js: a softphone's part in one call, with the handset's events.
// Run it with kexscript.exe (or cscript/wscript on Windows):
//     kexscript phone.js
// When the handset is plugged in it rings with a call from Alice; the pick-up
// key answers, the hold key holds and resumes, the hang-up key ends the call.
// Exit code 0 when the handset was unplugged within 30 seconds, 1 otherwise.
var held = false, unplugged = false;

function ph_OnStateChange(state, wParam, lParam) {
    WScript.Echo("phone.js: OnStateChange(" + state + ", " + wParam + ", " + lParam + ")");
    if (state == 1) {
        phone.Ready();
        phone.Ring("Alice", "100");
    } else if (state == 0) {
        unplugged = true;
    }
}

function ph_OnKey(key) {
    WScript.Echo("phone.js: OnKey(" + key + ")");
}

function ph_OnAction(action) {
    WScript.Echo("phone.js: OnAction(" + action + ")");
    if (action == 1) {            // pick-up
        phone.Talking("Alice", "100");
    } else if (action == 12) {    // hold, pressed again: resume
        held = !held;
        if (held) phone.Hold("Alice", "100"); else phone.Resume("Alice", "100");
    } else if (action == 2) {     // hang-up
        phone.Hangup("Alice", "100");
    }
}

var phone = new ActiveXObject("KexUSBPhone.KexPhone");
// Connects the ph_ functions above to the phone's events.
WScript.ConnectObject(phone, "ph_");
phone.Start();
WScript.Echo("phone.js: USBPhoneName = " + phone.USBPhoneName);
// Events are delivered while the script sleeps.
for (var waited = 0; !unplugged && waited < 30000; waited += 100)
    WScript.Sleep(100);
phone.Stop();
WScript.Echo(unplugged ? "phone.js: the handset was unplugged" : "phone.js: gave up waiting");
WScript.Quit(unplugged ? 0 : 1);
