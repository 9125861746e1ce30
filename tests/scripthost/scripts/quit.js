WScript.Echo("before");
WScript.Quit(3);
WScript.Echo("after");
