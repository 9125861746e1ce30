' CreateObject with a class nobody registered: an error with this line.
Set o = WScript.CreateObject("No.Such.Class")
