Set o = WScript.CreateObject("No.Such.Class")
