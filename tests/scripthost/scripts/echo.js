// WScript.Echo: several values, none, a variable, the script's name.
WScript.Echo("text", 42, 2.5, true, null);
WScript.Echo();
var v = "by value";
WScript.Echo(v);
WScript.Echo(WScript.ScriptName);
