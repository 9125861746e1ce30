' phone.vbs: a softphone's part in one call, with the handset's events.
' Run it with kexscript.exe (or cscript/wscript on Windows):
'     kexscript phone.vbs
' When the handset is plugged in it rings with a call from Alice; the pick-up
' key answers, the hold key holds and resumes, the hang-up key ends the call.
' Exit code 0 when the handset was unplugged within 30 seconds, 1 otherwise.
Option Explicit
Dim phone, held, unplugged, waited
held = False
unplugged = False

Sub ph_OnStateChange(state, wParam, lParam)
    WScript.Echo "phone.vbs: OnStateChange(" & state & ", " & wParam & ", " & lParam & ")"
    If state = 1 Then
        phone.Ready
        phone.Ring "Alice", "100"
    ElseIf state = 0 Then
        unplugged = True
    End If
End Sub

Sub ph_OnKey(key)
    WScript.Echo "phone.vbs: OnKey(" & key & ")"
End Sub

Sub ph_OnAction(action)
    WScript.Echo "phone.vbs: OnAction(" & action & ")"
    Select Case action
    Case 1 ' pick-up
        phone.Talking "Alice", "100"
    Case 12 ' hold, pressed again: resume
        held = Not held
        If held Then phone.Hold "Alice", "100" Else phone.Resume "Alice", "100"
    Case 2 ' hang-up
        phone.Hangup "Alice", "100"
    End Select
End Sub

' The prefix connects the ph_ procedures above to the phone's events.
Set phone = WScript.CreateObject("KexUSBPhone.KexPhone", "ph_")
phone.Start
WScript.Echo "phone.vbs: USBPhoneName = " & phone.USBPhoneName
' Events are delivered while the script sleeps.
waited = 0
Do While Not unplugged And waited < 30000
    WScript.Sleep 100
    waited = waited + 100
Loop
phone.Stop
If unplugged Then
    WScript.Echo "phone.vbs: the handset was unplugged"
    WScript.Quit 0
End If
WScript.Echo "phone.vbs: gave up waiting"
WScript.Quit 1
