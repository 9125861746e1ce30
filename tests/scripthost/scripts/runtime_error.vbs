WScript.Echo "line 1"
Dim x
x = 1 / 0
WScript.Echo "not reached"
