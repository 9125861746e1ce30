// A run-time error: reported with its line, the script ends there.
WScript.Echo("line 1");
var o = null;
o.missing();
WScript.Echo("not reached");
