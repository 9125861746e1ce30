// A syntax error: reported with its line, and nothing runs.
WScript.Echo("never runs");
var = ;
