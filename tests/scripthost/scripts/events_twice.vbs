' Two sinks on one object both receive each event, in the order they were
' connected; after DisconnectObject neither does.
Sub a_OnAction(c)
    WScript.Echo "a OnAction " & c
End Sub
Sub b_OnAction(c)
    WScript.Echo "b OnAction " & c
End Sub
Set p = WScript.CreateObject("KexUSBPhone.KexPhone", "a_")
WScript.ConnectObject p, "b_"
p.Start
p.PutCallInfo "raise", "16:0:0"
WScript.Sleep 1000
WScript.DisconnectObject p
p.PutCallInfo "raise", "13:0:0"
WScript.Sleep 500
WScript.Echo "disconnected"
p.Stop
