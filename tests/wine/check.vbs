' A script host's use of verimex.quoverimex, run by cscript for
' script_test.cpp: it creates the class by its ProgID, reads the defaults,
' sets the properties, runs check against the test network's mail servers
' and prints what it reads back, one "key=value" line each (backslash, CR
' and LF escaped as \\, \r and \n), and a last line END. Wine's cscript
' exits 0 even when a script fails, so a missing END is the failure sign.
Option Explicit

Sub Show(key, value)
    WScript.Echo key & "=" & Replace(Replace(Replace(CStr(value), "\", "\\"), vbCr, "\r"), vbLf, "\n")
End Sub

Function Verifier(email, timeout)
    Dim v
    Set v = CreateObject("verimex.quoverimex")
    v.email = email
    v.from = "tester.test"
    v.timeout = timeout
    Set Verifier = v
End Function

Sub Run(name, email, timeout)
    Dim v
    Set v = Verifier(email, timeout)
    v.check
    Show name & ".returnvar", v.returnvar
    Show name & ".smtp", v.smtp
    Show name & ".timeout", v.timeout
End Sub

Dim o
Set o = CreateObject("verimex.quoverimex")
Show "new.email", o.email
Show "new.nslookup", o.nslookup
Show "new.smtp", o.smtp
Show "new.returnvar", o.returnvar
Show "new.from", o.from
Show "new.timeout", o.timeout
Show "new.timeout.type", TypeName(o.timeout)
Show "new.checktime", o.checktime
Show "new.checktime.type", TypeName(o.checktime)

Run "ok", "someone@ok.wine.test", 5
Run "no", "someone@no.wine.test", 5
Run "fallback", "someone@fallback.wine.test", 5
Run "twice", "someone@twice.wine.test", 5
Run "ghost", "someone@ghost.wine.test", 5
Run "nomx", "someone@nomx.wine.test", 0
Run "cap", "someone@nomx.wine.test", 1000

' The transcript is only ever appended to.
Set o = Verifier("someone@ok.wine.test", 5)
o.smtp = "kept" & vbCrLf
o.check
o.email = "other@no.wine.test"
o.nslookup = ""
o.check
Show "append.smtp", o.smtp
Show "append.returnvar", o.returnvar

' A platform error reaches the script as a run-time error.
Set o = Verifier("someone@ok.wine.test", -1)
On Error Resume Next
o.check
Show "negative.number", Err.Number
Show "negative.description", Err.Description
Show "negative.source", Err.Source
On Error GoTo 0

WScript.Echo "END"
