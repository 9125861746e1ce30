' A run-time error: reported with its line, the script ends there.
WScript.Echo "line 1"
Dim x
x = 1 / 0
WScript.Echo "not reached"
