' The devices of a version-1 and a version-2 adapter: the list and each
' device's fields, the active device, the device of each event and the error
' for an unknown id.
Dim done
done = False
Sub ph_OnAction(c)
    WScript.Echo "OnAction " & c & " from " & p.EventDevice
End Sub
Sub ph_OnStateChange(e, w, l)
    WScript.Echo "OnStateChange " & e & " from " & p.EventDevice & ", active """ & p.ActiveDevice & """, " & p.DeviceCount & " devices"
    If e = 0 Then done = True
End Sub

Set p = WScript.CreateObject("KexUSBPhone.KexPhone", "ph_")
p.Start
WScript.Echo "count " & p.DeviceCount & ", first " & p.DeviceId(0)
For Each id In p.Devices
    WScript.Echo id & " | " & p.DeviceName(id) & " | " & Hex(p.DeviceVendorId(id)) & ":" & Hex(p.DeviceProductId(id)) & " | " & p.DeviceSerial(id)
Next
WScript.Echo "active """ & p.ActiveDevice & """, event device """ & p.EventDevice & """"
p.ActiveDevice = "v2/head"
WScript.Echo "active " & p.ActiveDevice
p.Ring "Alice", "100"
p.Mute True
On Error Resume Next
p.ActiveDevice = "v2/none"
WScript.Echo "unknown: " & Hex(Err.Number) & " " & Err.Description
n = p.DeviceName("nobody")
WScript.Echo "unknown name: " & Hex(Err.Number) & " " & Err.Description
On Error Goto 0
WScript.Echo "still active " & p.ActiveDevice
p.PutCallInfo "raise", "11:0:0@desk 1:0:0@head 13:0:0 17:0:0@head"
waited = 0
Do While Not done And waited < 150
    WScript.Sleep 100
    waited = waited + 1
Loop
p.Hangup "Alice", "100"
p.Stop
WScript.Echo "done"
