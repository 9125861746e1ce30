' An object without events cannot be connected.
Set d = CreateObject("Scripting.Dictionary")
WScript.Echo "created"
WScript.ConnectObject d, "d_"
WScript.Echo "not reached"
