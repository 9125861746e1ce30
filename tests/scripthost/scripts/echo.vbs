' WScript.Echo: several values, none, a variable by reference, the script's name.
WScript.Echo "text", 42, 2.5, True, Null
WScript.Echo
Dim v : v = "by reference"
WScript.Echo v
WScript.Echo WScript.ScriptName
