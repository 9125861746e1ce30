' An error inside an event handler ends the script with its line number.
Sub ph_OnKey(k)
    WScript.Echo "OnKey " & k
    x = 1 / 0
End Sub
Set p = WScript.CreateObject("KexUSBPhone.KexPhone", "ph_")
p.Start
p.PutCallInfo "raise", "3:5:0"
WScript.Sleep 5000
WScript.Echo "not reached"
