WScript.Echo "never runs"
If Then Else
