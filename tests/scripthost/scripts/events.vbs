' Handset reports raised on the adapter's thread while the script sleeps.
Dim received
received = 0
Sub ph_OnKey(k)
    WScript.Echo "OnKey " & k & " " & TypeName(k)
    received = received + 1
End Sub
Sub ph_OnAction(c)
    WScript.Echo "OnAction " & c
    received = received + 1
End Sub
Sub ph_OnStateChange(e, w, l)
    WScript.Echo "OnStateChange " & e & " " & w & " " & l
    received = received + 1
End Sub

Set p = WScript.CreateObject("KexUSBPhone.KexPhone", "ph_")
p.Start
p.PutCallInfo "raise", WScript.Arguments(0)
expected = CInt(WScript.Arguments(1))
waited = 0
Do While received < expected And waited < 150
    WScript.Sleep 100
    waited = waited + 1
Loop
WScript.Sleep 200
WScript.Echo "received " & received
p.Stop
