' Every member of the phone object by name, as a late-bound client sees it.
Set p = CreateObject("KexUSBPhone.KexPhone")
WScript.Echo "IsStarted " & p.IsStarted
On Error Resume Next
p.Link "stopped", "0"
WScript.Echo "Link while stopped " & Hex(Err.Number)
Err.Clear
n = p.USBPhoneName
WScript.Echo "USBPhoneName while stopped " & Hex(Err.Number)
Err.Clear
On Error Goto 0

p.Start
WScript.Echo "IsStarted " & p.IsStarted
WScript.Echo "USBPhoneName " & p.USBPhoneName
p.Number = "100"
p.Link "Alice", "100"
p.Ring "Ring", "3"
p.RingBack "RingBack", "4"
p.Talking "Talking", "5"
p.Hangup "", ""
p.Hold "Hold", "7"
p.Resume "Resume", "8"
p.CallFailed "CallFailed", "9"
p.Ready
p.RingBusy "RingBusy", "10"
p.PutCallInfo "Bob", 200
' Script arrays for the entries; a count beyond three reads three.
p.PutContactInfoList 2, Array("Alice", "Work"), Array(1, "7")
p.PutContactInfoList 5, Array("A", "B", "C", "D"), Array(1, 2, 3, 4)
On Error Resume Next
p.PutContactInfoList 3, Array("short"), Array(1)
' VBScript maps E_INVALIDARG to its own error 5.
If Err.Number = 5 Or Hex(Err.Number) = "80070057" Then WScript.Echo "PutContactInfoList short 80070057"
Err.Clear
On Error Goto 0

On Error Resume Next
x = p.Number
If Err.Number <> 0 Then WScript.Echo "Number cannot be read"
Err.Clear
p.IsStarted = False
If Err.Number <> 0 Then WScript.Echo "IsStarted cannot be set"
Err.Clear
' Script variables arrive as references to variants, which the object does
' not take for its BSTR* and long* parameters.
s = "Alice" : i = 1
p.PutContactInfo s, i, 1
If Err.Number = 13 Then WScript.Echo "PutContactInfo type mismatch"
Err.Clear
p.NoSuchMember
If Err.Number <> 0 Then WScript.Echo "NoSuchMember unknown"
Err.Clear
On Error Goto 0

p.Start
p.Stop
WScript.Echo "IsStarted " & p.IsStarted
p.Stop
WScript.Echo "done"
