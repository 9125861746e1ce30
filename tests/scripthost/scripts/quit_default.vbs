WScript.Echo "before"
WScript.Quit
WScript.Echo "after"
