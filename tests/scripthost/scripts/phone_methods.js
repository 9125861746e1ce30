// Every member of the phone object by name, as a late-bound client sees it.
function yesNo(b) { return b ? "True" : "False"; }
function hex(e) { return (e.number >>> 0).toString(16).toUpperCase(); }
var p = new ActiveXObject("KexUSBPhone.KexPhone");
WScript.Echo("IsStarted " + yesNo(p.IsStarted));
try { p.Link("stopped", "0"); } catch (e) { WScript.Echo("Link while stopped " + hex(e)); }
try { var n = p.USBPhoneName; } catch (e) { WScript.Echo("USBPhoneName while stopped " + hex(e)); }

p.Start();
WScript.Echo("IsStarted " + yesNo(p.IsStarted));
WScript.Echo("USBPhoneName " + p.USBPhoneName);
p.Number = "100";
p.Link("Alice", "100");
p.Ring("Ring", "3");
p.RingBack("RingBack", "4");
p.Talking("Talking", "5");
p.Hangup("", "");
p.Hold("Hold", "7");
p.Resume("Resume", "8");
p.CallFailed("CallFailed", "9");
p.Ready();
p.RingBusy("RingBusy", "10");
p.PutCallInfo("Bob", 200);
// Script arrays for the entries; a count beyond three reads three.
p.PutContactInfoList(2, ["Alice", "Work"], [1, "7"]);
p.PutContactInfoList(5, ["A", "B", "C", "D"], [1, 2, 3, 4]);
try { p.PutContactInfoList(3, ["short"], [1]); } catch (e) { WScript.Echo("PutContactInfoList short " + hex(e)); }

try { var x = p.Number; } catch (e) { WScript.Echo("Number cannot be read"); }
try { p.IsStarted = false; } catch (e) { WScript.Echo("IsStarted cannot be set"); }
// Script values arrive by value, which the object does not take for its
// BSTR* and long* parameters.
try { p.PutContactInfo("Alice", 1, 1); } catch (e) { if ((e.number & 0xFFFF) == 13 || (e.number >>> 0) == 0x80020005) WScript.Echo("PutContactInfo type mismatch"); }
try { p.NoSuchMember(); } catch (e) { WScript.Echo("NoSuchMember unknown"); }

p.Start();
p.Stop();
WScript.Echo("IsStarted " + yesNo(p.IsStarted));
p.Stop();
WScript.Echo("done");
