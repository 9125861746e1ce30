// WScript.Arguments: length, items by index, Count, and the enumerator.
var a = WScript.Arguments;
WScript.Echo(a.length);
for (var i = 0; i < a.length; i++)
    WScript.Echo(i + "=" + a(i));
WScript.Echo(WScript.Arguments.Count);
for (var e = new Enumerator(WScript.Arguments); !e.atEnd(); e.moveNext())
    WScript.Echo("each " + e.item());
