' WScript.Quit without an exit code: 0, and nothing after it runs.
WScript.Echo "before"
WScript.Quit
WScript.Echo "after"
