// WScript.Quit with an exit code: nothing after it runs.
WScript.Echo("before");
WScript.Quit(3);
WScript.Echo("after");
