WScript.Echo("never runs");
var = ;
