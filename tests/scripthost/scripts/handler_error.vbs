' An error inside an event handler ends the script with its line number.
Sub ph_OnStateChange(e, w, l)
    WScript.Echo "OnStateChange " & e
    x = 1 / 0
End Sub
Set p = WScript.CreateObject("KexUSBPhone.KexPhone", "ph_")
p.Start
p.PutCallInfo "raise", "17:1:1"
WScript.Sleep 5000
WScript.Echo "not reached"
