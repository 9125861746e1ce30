// Handset reports raised on the adapter's thread while the script sleeps,
// connected through WScript.ConnectObject.
var received = 0;
function ph_OnKey(k) { WScript.Echo("OnKey " + k + " " + typeof k); received++; }
function ph_OnAction(c) { WScript.Echo("OnAction " + c); received++; }
function ph_OnStateChange(e, w, l) { WScript.Echo("OnStateChange " + e + " " + w + " " + l); received++; }

var p = new ActiveXObject("KexUSBPhone.KexPhone");
WScript.ConnectObject(p, "ph_");
p.Start();
p.PutCallInfo("raise", WScript.Arguments(0));
var expected = parseInt(WScript.Arguments(1), 10);
for (var waited = 0; received < expected && waited < 150; waited++)
    WScript.Sleep(100);
WScript.Sleep(200);
WScript.Echo("received " + received);
p.Stop();
