' Drives the registered component by name, as any script host can (Wine's
' cscript delivers no events). Every line echoed is checked by the caller;
' an error ends the script before its last line.
Set phone = CreateObject("KexUSBPhone.KexPhone")
WScript.Echo "started before: " & phone.IsStarted
phone.Start
WScript.Echo "started: " & phone.IsStarted
WScript.Echo "adapter: " & phone.USBPhoneName
phone.Ready
phone.Ring "Alice", "100"
phone.Number = "123"
phone.Stop
WScript.Echo "started after stop: " & phone.IsStarted
WScript.Echo "registered.vbs: done"
