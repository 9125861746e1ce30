' WScript.Arguments: Count, items by index, the default item, For Each.
Set a = WScript.Arguments
WScript.Echo a.Count
For i = 0 To a.Count - 1
    WScript.Echo i & "=" & a(i)
Next
WScript.Echo WScript.Arguments(0)
For Each arg In WScript.Arguments
    WScript.Echo "each " & arg
Next
