WScript.Echo("line 1");
var o = null;
o.missing();
WScript.Echo("not reached");
