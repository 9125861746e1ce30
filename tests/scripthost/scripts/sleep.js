// WScript.Sleep waits at least about as long as asked.
var t0 = new Date().getTime();
WScript.Sleep(300);
var dt = new Date().getTime() - t0;
WScript.Echo(dt >= 250 ? "slept" : "too short " + dt);
